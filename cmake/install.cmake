# Install rules: the library with its SONAME links, the public headers under
# one project folder, the CMake package, the pkg-config file, the programs,
# the examples' sources.
include(CMakePackageConfigHelpers)

set(DEXHAND_INCLUDE_SUBDIR tessaro_dexhand)
set(DEXHAND_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TessaroDexHand)

install(TARGETS TessaroDexHand
  EXPORT TessaroDexHandTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)

foreach(header IN LISTS DEXHAND_PUBLIC_HEADERS)
  get_filename_component(header_dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/hand/${header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${DEXHAND_INCLUDE_SUBDIR}/${header_dir}
    COMPONENT development)
endforeach()

foreach(header IN LISTS DEXHAND_API_HEADERS)
  install(FILES ${PROJECT_SOURCE_DIR}/hand/include/tessaro_dexhand/${header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${DEXHAND_INCLUDE_SUBDIR}
    COMPONENT development)
endforeach()

install(EXPORT TessaroDexHandTargets
  NAMESPACE TessaroDexHand::
  DESTINATION ${DEXHAND_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/TessaroDexHandConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TessaroDexHandConfig.cmake
  INSTALL_DESTINATION ${DEXHAND_CMAKE_DIR})
# 0.x releases promise nothing across minor versions.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/TessaroDexHandConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/TessaroDexHandConfig.cmake
  ${PROJECT_BINARY_DIR}/TessaroDexHandConfigVersion.cmake
  DESTINATION ${DEXHAND_CMAKE_DIR}
  COMPONENT development)

# pkg-config: a program linked by hand against a prefix the loader does not
# search gets the RPATH it needs to start.
# Outside the system folders the file finds its prefix from its own place, so
# that `cmake --install build --prefix <folder>` gives a working file too.
if(DEXHAND_LIBDIR_IS_SYSTEM)
  set(DEXHAND_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(DEXHAND_PC_RPATH "")
else()
  file(RELATIVE_PATH dexhand_pc_to_prefix
    "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
  string(REGEX REPLACE "/$" "" dexhand_pc_to_prefix "${dexhand_pc_to_prefix}")
  set(DEXHAND_PC_PREFIX "\${pcfiledir}/${dexhand_pc_to_prefix}")
  set(DEXHAND_PC_RPATH " -Wl,-rpath,\${libdir}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/tessaro-dexhand.pc.in
  ${PROJECT_BINARY_DIR}/tessaro-dexhand.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tessaro-dexhand.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

# The programs, when this build has them.
foreach(program dexhand dexhand-sim dexhand-bridge)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()

# dexhand serve finds its page in share/tessaro_dexhand/web beside bin/.
if(TARGET dexhand)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/dexhand/web/
    DESTINATION ${CMAKE_INSTALL_DATADIR}/${DEXHAND_INCLUDE_SUBDIR}/web
    COMPONENT runtime)
endif()

install(FILES
  ${PROJECT_SOURCE_DIR}/examples/list_hands.cpp
  ${PROJECT_SOURCE_DIR}/examples/list_hands.py
  ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
  DESTINATION ${CMAKE_INSTALL_DATADIR}/${DEXHAND_INCLUDE_SUBDIR}/examples
  COMPONENT development)

# The Python package's install rules are in python/CMakeLists.txt, beside its files.
