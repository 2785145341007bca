# Tests of the module inspector (tools/inspect): variants of probe_module.c
# built as modules, and one gtest binary that runs Selvar-inspect on them.
# Included from tools/tools.cmake.
include_guard(GLOBAL)
find_package(GTest REQUIRED)
include(GoogleTest)

set(SELVAR_INSPECT_TEST_DIR ${CMAKE_SOURCE_DIR}/tests/inspect)
set(SELVAR_INSPECT_MODULE_DIR ${CMAKE_BINARY_DIR}/inspect_modules)

set(SELVAR_INSPECT_MODULES)
function(selvar_inspect_module name)
  add_library(inspect_module_${name} MODULE ${SELVAR_INSPECT_TEST_DIR}/probe_module.c)
  target_include_directories(inspect_module_${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/events)
  target_compile_definitions(inspect_module_${name} PRIVATE ${ARGN})
  set_target_properties(inspect_module_${name} PROPERTIES
    PREFIX "" OUTPUT_NAME ${name} LIBRARY_OUTPUT_DIRECTORY ${SELVAR_INSPECT_MODULE_DIR})
  set(SELVAR_INSPECT_MODULES ${SELVAR_INSPECT_MODULES} inspect_module_${name} PARENT_SCOPE)
endfunction()

selvar_inspect_module(accept PROBE_ACTION=0)
selvar_inspect_module(refuse PROBE_RETURN=-1)
selvar_inspect_module(error5 PROBE_ERROR=5)
selvar_inspect_module(abcd PROBE_ID=0x0000ABCDu)
selvar_inspect_module(reserved PROBE_ID=0x80000000u)
selvar_inspect_module(noload PROBE_NO_LOAD)
selvar_inspect_module(crash PROBE_ACTION=1)
selvar_inspect_module(hang PROBE_ACTION=2)
selvar_inspect_module(events PROBE_ACTION=3)
selvar_inspect_module(first PROBE_ID=0x00060000u PROBE_MASK5=0x10u)
selvar_inspect_module(mask5_high PROBE_ID=0x00200001u PROBE_MASK5=0x80000000u)
selvar_inspect_module(mask5_mid PROBE_ID=0x00200002u PROBE_MASK5=0x20u)
selvar_inspect_module(mask5_low PROBE_ID=0x00200003u PROBE_MASK5=0x1u)

add_executable(selvar_inspect_tests
  ${CMAKE_SOURCE_DIR}/tests/support/test_main.cpp
  ${SELVAR_INSPECT_TEST_DIR}/json_reader.cpp
  ${SELVAR_INSPECT_TEST_DIR}/inspect_fixture.cpp
  ${SELVAR_INSPECT_TEST_DIR}/json_writer_test.cpp
  ${SELVAR_INSPECT_TEST_DIR}/load_pass_test.cpp
  ${SELVAR_INSPECT_TEST_DIR}/inspector_run_test.cpp
)
# The tests read the JSON report with a library of their own (test-only).
find_package(nlohmann_json 3 REQUIRED)
target_link_libraries(selvar_inspect_tests PRIVATE selvar_inspect GTest::gtest nlohmann_json::nlohmann_json)
target_compile_definitions(selvar_inspect_tests PRIVATE
  INSPECT_TOOL="$<TARGET_FILE:Selvar-inspect>"
  INSPECT_MODULE_DIR="${SELVAR_INSPECT_MODULE_DIR}"
  SELVAR_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
)
add_dependencies(selvar_inspect_tests Selvar-inspect ${SELVAR_INSPECT_MODULES})
# ASan would turn the crash module's SIGSEGV into an exit status.
gtest_discover_tests(selvar_inspect_tests
  TEST_PREFIX "inspect."
  DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 60 ENVIRONMENT "ASAN_OPTIONS=handle_segv=0;TSAN_OPTIONS=handle_segv=0"
)
