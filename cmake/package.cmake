# A Debian package of everything `cmake --install` puts down: library,
# headers, CMake and pkg-config files, programs, examples and the Python
# module. scripts/package configures for /usr and runs cpack.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaro-dexhand)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "client library for dexterous robot hands on a local Ethernet subnet")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "libTessaroDexHand discovers dexterous robot hands on an Ethernet subnet\n\
and reads and commands them over UDP. The package holds the shared library,\n\
its headers with a CMake package and a pkg-config file, the simulator\n\
program dexhand-sim, the command-line tool dexhand where built, the\n\
examples' sources and the Python module tessaro_dexhand.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TessaroDexHand maintainers <maintainers@tessaro-dexhand.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies from what the binaries link (dpkg-shlibdeps); the library's
# own shlibs file and the ldconfig trigger come with it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/hand)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3")
set(CPACK_STRIP_FILES ON)
include(CPack)
