# Warnings and sanitizers for every target of the project.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
                    -Wcast-align -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough)
if(QE_WERROR)
  add_compile_options(-Werror)
endif()

if(QE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC's flow analysis gives false "maybe uninitialized" reports in instrumented code (seen in
    # <regex> and <functional>); the normal build keeps the warning.
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

if(QE_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
