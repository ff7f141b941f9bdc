# The API reference of the typed API: `cmake --build build --target docs`
# writes build/docs/api/html/index.html. With the tests, api_reference_test
# runs doxygen the same way and fails on any warning, an undocumented public
# member (enumerators included) first of all.
set(DEXHAND_DOCS_OUTPUT ${PROJECT_BINARY_DIR}/docs/api)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/docs/Doxyfile @ONLY)
add_custom_target(docs
  COMMAND ${DOXYGEN_EXECUTABLE} ${PROJECT_BINARY_DIR}/docs/Doxyfile
  COMMENT "API reference: ${DEXHAND_DOCS_OUTPUT}/html/index.html"
  VERBATIM)
if(DEXHAND_BUILD_TESTS)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_test(NAME api_reference_test
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/docs/check_api_reference.py
            ${DOXYGEN_EXECUTABLE} ${PROJECT_BINARY_DIR}/docs/Doxyfile ${DEXHAND_DOCS_OUTPUT}/xml)
  set_tests_properties(api_reference_test PROPERTIES LABELS docs)
endif()
