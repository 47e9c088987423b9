# Per-run scratch space; tests that need their own directory make it below this.
set(QE_TEST_TMP ${CMAKE_BINARY_DIR}/test-tmp)
file(MAKE_DIRECTORY ${QE_TEST_TMP})

# qe_add_test(<name> LABEL <layer> SOURCES ... [LIBS ...] [ENV ...] [SPLIT part...])
# Builds a GoogleTest executable and registers it with CTest under one layer label.
function(qe_add_test name)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS;ENV;SPLIT" ${ARGN})
  set(layers unit token request net sim e2e gui tokens)
  if(NOT T_LABEL IN_LIST layers)
    message(FATAL_ERROR "test ${name}: LABEL must be one of ${layers}")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} qe_test_program_temp_dir GTest::gmock
                        GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  # SPLIT: one CTest test per listed part, each running the GoogleTest cases named *part.
  # A session bus that is not there: without any, libdbus would start one for the display (the
  # accessibility bridge of a wizard under Xvfb) and leave it running. Tests that want a bus start
  # their own.
  set(no_bus "DBUS_SESSION_BUS_ADDRESS=unix:path=${QE_TEST_TMP}/no-session-bus")
  # Nor a card service: a pcscd of the machine (or of a token stack's run beside) holding a card
  # would turn "insert the token" into another text, and a folder of one that ran would make it
  # "the card service stopped". Tests that want one name its socket.
  set(no_pcscd "PCSCLITE_CSOCK_NAME=${QE_TEST_TMP}/no-pcscd/pcscd.comm")
  set(tests ${name})
  if(T_SPLIT)
    set(tests)
    foreach(part ${T_SPLIT})
      add_test(NAME ${name}_${part} COMMAND ${name} --gtest_filter=*/${part})
      list(APPEND tests ${name}_${part})
    endforeach()
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${tests} PROPERTIES
    LABELS ${T_LABEL}
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "${no_bus};${no_pcscd};TMPDIR=${QE_TEST_TMP};QE_TEST_TMP=${QE_TEST_TMP};${T_ENV}")
endfunction()
