# Stress, module-fault and leak tests of the service in one process.
# Included from tests/CMakeLists.txt, after the test modules.
#
# selvar_stress_tests: the stress run (stress_test.cpp, with stress_module.so)
#   and modules that misbehave with payloads (module_fault_test.cpp, with the
#   test module). Both count payload copies through a wrapped free().
#   SELVAR_STRESS_SECONDS sets the stress run's load time (default 5).
#   Best run in an AddressSanitizer build (-DSELVAR_SANITIZE=address).
# selvar_leak_check: a whole start and stop, checked for leaks by valgrind
#   memcheck in plain builds and by LeakSanitizer in AddressSanitizer builds.
include_guard(GLOBAL)

if(NOT TARGET GTest::gtest)
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

set(SELVAR_STRESS_DIR ${CMAKE_CURRENT_LIST_DIR})
set(SELVAR_STRESS_TEST_MODULE_DIR ${CMAKE_BINARY_DIR}/tests/modules)

add_library(selvar_stress_module MODULE ${SELVAR_STRESS_DIR}/stress_module.c)
set_target_properties(selvar_stress_module PROPERTIES
  OUTPUT_NAME stress_module
  PREFIX ""
  SUFFIX ".so"
  C_STANDARD 99
  C_STANDARD_REQUIRED ON
  C_VISIBILITY_PRESET hidden
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/stress)
# Public headers only (plugin_interface.h includes "event_record.h").
target_include_directories(selvar_stress_module PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/events)
target_link_libraries(selvar_stress_module PRIVATE Threads::Threads)

add_executable(selvar_stress_tests
  ${CMAKE_SOURCE_DIR}/tests/support/test_main.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/module_fixture.cpp
  ${SELVAR_STRESS_DIR}/payload_tracker.cpp
  ${SELVAR_STRESS_DIR}/stress_test.cpp
  ${SELVAR_STRESS_DIR}/module_fault_test.cpp)
target_link_libraries(selvar_stress_tests PRIVATE selvar_core GTest::gtest ${CMAKE_DL_LIBS})
target_link_options(selvar_stress_tests PRIVATE -Wl,--wrap=free)
target_compile_definitions(selvar_stress_tests PRIVATE
  SELVAR_STRESS_MODULE="$<TARGET_FILE:selvar_stress_module>"
  SELVAR_TEST_MODULE_DIR="${SELVAR_STRESS_TEST_MODULE_DIR}")
add_dependencies(selvar_stress_tests selvar_stress_module)
if(TARGET test_module)
  add_dependencies(selvar_stress_tests test_module)
endif()
# Under ThreadSanitizer the run's thousands of short-lived call threads queue
# up in the runtime's thread registry, and the load outlasts any sensible
# time limit; the stress run belongs to the plain and AddressSanitizer builds.
set(SELVAR_STRESS_LABELS stress)
if(SELVAR_SANITIZE STREQUAL "thread")
  set(SELVAR_STRESS_LABELS no_tsan)
endif()
gtest_discover_tests(selvar_stress_tests
  TEST_PREFIX "stress."
  DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 240 LABELS "${SELVAR_STRESS_LABELS}")

add_executable(selvar_leak_check
  ${SELVAR_STRESS_DIR}/leak_check_main.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/module_fixture.cpp)
target_link_libraries(selvar_leak_check PRIVATE selvar_core)
target_compile_definitions(selvar_leak_check PRIVATE SELVAR_TEST_MODULE_DIR="${SELVAR_STRESS_TEST_MODULE_DIR}")
if(TARGET test_module)
  add_dependencies(selvar_leak_check test_module)
endif()
find_program(SELVAR_VALGRIND valgrind)
if(SELVAR_SANITIZE STREQUAL "address")
  add_test(NAME stress.leak_check.lsan COMMAND selvar_leak_check)
  set_tests_properties(stress.leak_check.lsan PROPERTIES TIMEOUT 120 LABELS stress)
elseif(SELVAR_SANITIZE STREQUAL "" AND SELVAR_VALGRIND)
  add_test(NAME stress.leak_check.valgrind
    COMMAND ${SELVAR_VALGRIND} --leak-check=full --errors-for-leak-kinds=definite,indirect
            --show-leak-kinds=definite,indirect --error-exitcode=1
            --suppressions=${SELVAR_STRESS_DIR}/valgrind.supp $<TARGET_FILE:selvar_leak_check>)
  set_tests_properties(stress.leak_check.valgrind PROPERTIES TIMEOUT 300 LABELS stress)
endif()
