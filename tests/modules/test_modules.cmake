# Test modules: C99 shared objects that tests copy into a plugins directory.
# They land in build/tests/modules, never in build/plugins, so the service
# run from build/ does not pick them up. Included from tests/CMakeLists.txt.

set(SELVAR_TEST_MODULE_DIR ${CMAKE_BINARY_DIR}/tests/modules)
set(SELVAR_TEST_MODULES test_module no_load_module load_only_module)

foreach(module ${SELVAR_TEST_MODULES})
  add_library(${module} MODULE ${CMAKE_CURRENT_LIST_DIR}/${module}.c)
  set_target_properties(${module} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    C_STANDARD 99
    C_STANDARD_REQUIRED ON
    C_EXTENSIONS OFF
    C_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${SELVAR_TEST_MODULE_DIR})
  # Only the two public headers: plugin_interface.h includes "event_record.h".
  target_include_directories(${module} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/events)
  target_link_libraries(${module} PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
endforeach()

target_sources(selvar_unit_tests PRIVATE
  ${CMAKE_SOURCE_DIR}/tests/support/module_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_module_selftest.cpp)
target_compile_definitions(selvar_unit_tests PRIVATE
  SELVAR_TEST_MODULE_DIR="${SELVAR_TEST_MODULE_DIR}")
target_link_libraries(selvar_unit_tests PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(selvar_unit_tests ${SELVAR_TEST_MODULES})
