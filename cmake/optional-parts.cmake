# The library needs only RapidJSON and a compiler. Everything else is
# optional: each part that is asked for but whose packages are missing is left
# out with one line naming the Debian packages that bring it, so a plain
# `cmake -S . -B build` on a bare machine still builds the library. The
# subdirectories keep their REQUIRED look-ups; they run only when the check
# here has found the same things.
#
# Sets DEXHAND_WITH_TOOLS, DEXHAND_WITH_BRIDGE, DEXHAND_WITH_PYTHON,
# DEXHAND_WITH_TESTS, DEXHAND_WITH_BENCH and DEXHAND_WITH_DOCS.

# dexhand_optional_part(VAR WANTED WHAT MISSING-PACKAGES...): VAR is ON when
# the part is wanted and nothing is missing. With DEXHAND_REQUIRE_ALL a
# missing package stops the configuration: scripts/test must not pass with
# tests silently left out.
function(dexhand_optional_part var wanted what)
  set(missing ${ARGN})
  if(NOT wanted)
    set(${var} OFF PARENT_SCOPE)
  elseif(missing)
    list(REMOVE_DUPLICATES missing)
    string(REPLACE ";" " " missing "${missing}")
    if(DEXHAND_REQUIRE_ALL)
      message(FATAL_ERROR "${what} cannot be built (DEXHAND_REQUIRE_ALL): apt-get install ${missing}")
    endif()
    message(STATUS "${what}: not built (needs: apt-get install ${missing})")
    set(${var} OFF PARENT_SCOPE)
  else()
    set(${var} ON PARENT_SCOPE)
  endif()
endfunction()

# dexhand (the CLI and its dashboard): CLI11, and cpp-httplib through pkg-config.
set(dexhand_missing)
if(DEXHAND_BUILD_TOOLS)
  find_path(CLI11_INCLUDE_DIR CLI/CLI.hpp)
  if(NOT CLI11_INCLUDE_DIR)
    list(APPEND dexhand_missing libcli11-dev)
  endif()
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(DEXHAND_HTTPLIB_CHECK QUIET cpp-httplib)
  endif()
  if(NOT PKG_CONFIG_FOUND)
    list(APPEND dexhand_missing pkg-config libcpp-httplib-dev)
  elseif(NOT DEXHAND_HTTPLIB_CHECK_FOUND)
    list(APPEND dexhand_missing libcpp-httplib-dev)
  endif()
endif()
dexhand_optional_part(DEXHAND_WITH_TOOLS "${DEXHAND_BUILD_TOOLS}" "dexhand (command-line tool, dashboard)"
  ${dexhand_missing})

# dexhand-bridge: Cyclone DDS with its IDL compiler, and CLI11.
set(dexhand_missing)
if(DEXHAND_BUILD_TOOLS)
  find_package(CycloneDDS QUIET)
  find_program(DEXHAND_IDLC idlc)
  if(NOT CycloneDDS_FOUND)
    list(APPEND dexhand_missing cyclonedds-dev)
  endif()
  if(NOT DEXHAND_IDLC)
    list(APPEND dexhand_missing cyclonedds-tools)
  endif()
  if(NOT CLI11_INCLUDE_DIR)
    list(APPEND dexhand_missing libcli11-dev)
  endif()
endif()
dexhand_optional_part(DEXHAND_WITH_BRIDGE "${DEXHAND_BUILD_TOOLS}" "dexhand-bridge (ROS 2 bridge)"
  ${dexhand_missing})

# The Python module: the headers of the system's python3, and pybind11.
set(dexhand_missing)
if(DEXHAND_BUILD_PYTHON)
  if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "The Python the module is built for")
  endif()
  find_package(Python3 QUIET COMPONENTS Interpreter Development.Module)
  if(NOT Python3_FOUND)
    list(APPEND dexhand_missing python3-dev)
  endif()
  find_package(pybind11 CONFIG QUIET)
  if(NOT pybind11_FOUND)
    list(APPEND dexhand_missing pybind11-dev)
  endif()
endif()
dexhand_optional_part(DEXHAND_WITH_PYTHON "${DEXHAND_BUILD_PYTHON}" "Python module tessaro_dexhand"
  ${dexhand_missing})

# The tests: GoogleTest and GoogleMock (Debian's GTest package finds GoogleMock
# only when libgmock-dev is installed).
set(dexhand_missing)
if(DEXHAND_BUILD_TESTS)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    list(APPEND dexhand_missing libgtest-dev libgmock-dev)
  elseif(NOT TARGET GTest::gmock)
    list(APPEND dexhand_missing libgmock-dev)
  endif()
endif()
dexhand_optional_part(DEXHAND_WITH_TESTS "${DEXHAND_BUILD_TESTS}" "tests" ${dexhand_missing})

# The benchmarks: Google Benchmark.
set(dexhand_missing)
if(DEXHAND_BUILD_BENCH)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    list(APPEND dexhand_missing libbenchmark-dev)
  endif()
endif()
dexhand_optional_part(DEXHAND_WITH_BENCH "${DEXHAND_BUILD_BENCH}" "benchmarks" ${dexhand_missing})

# The API reference (the `docs` target and its warning check): doxygen.
set(dexhand_missing)
if(DEXHAND_BUILD_DOCS)
  find_package(Doxygen QUIET)
  if(NOT DOXYGEN_FOUND)
    list(APPEND dexhand_missing doxygen)
  endif()
endif()
dexhand_optional_part(DEXHAND_WITH_DOCS "${DEXHAND_BUILD_DOCS}" "API reference (docs target)" ${dexhand_missing})
unset(dexhand_missing)
