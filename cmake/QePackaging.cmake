# The Debian package: `cpack -G DEB` in the build folder (a Release build is the one to ship).
# Its Depends come from dpkg-shlibdeps; the fonts and xdg-open are only recommended, the program
# runs without them.

set(QE_PACKAGE_APPLICATIONS_DIR /usr/${CMAKE_INSTALL_DATADIR}/applications)
foreach(script postinst postrm)
  configure_file(${PROJECT_SOURCE_DIR}/data/${script}.in
                 ${PROJECT_BINARY_DIR}/package/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane-enroll)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Quorvane)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "renewal of the qualified certificate on a cryptographic token")
# The extended description; its first line is not repeated from the summary.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Customers of the Quorvane certification authority renew the qualified
certificate held on their USB token with this wizard. A link from the
authority's portal (quorvaneenroll://) starts it: it creates a new key pair
on the token and sends the certificate request, or installs the issued
certificate once the customer has accepted the declaration.
.
quorvane-enroll-doctor prints what support asks first: the token libraries
and tokens, the certificates on them and the authority's servers.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "fonts-roboto, fonts-crosextra-carlito, xdg-utils, libproxy1-plugin-gsettings, libproxy1-plugin-webkit")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/package/postinst ${PROJECT_BINARY_DIR}/package/postrm
    ${PROJECT_SOURCE_DIR}/data/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Only the shipped programs and their files; the tests' and benchmarks' targets install nothing.
include(CPack)
