# End-to-end tests of the demo modules (modules/): each test runs the real
# daemon with camera.so, recorder.so and monitor.so in a sandbox of the e2e
# harness (tests/e2e), so they need root, like the other e2e tests.
# Included from tests/CMakeLists.txt.
if(NOT EXISTS ${CMAKE_SOURCE_DIR}/tests/e2e/sandbox.cpp OR NOT SELVAR_DEMO_MODULE_TARGETS)
  return()
endif()

set(SELVAR_E2E_SOURCES
  ${CMAKE_SOURCE_DIR}/tests/e2e/e2e_main.cpp
  ${CMAKE_SOURCE_DIR}/tests/e2e/private_namespace.cpp
  ${CMAKE_SOURCE_DIR}/tests/e2e/process_runner.cpp
  ${CMAKE_SOURCE_DIR}/tests/e2e/syslog_reader.cpp
  ${CMAKE_SOURCE_DIR}/tests/e2e/sandbox.cpp)

add_executable(selvar_demo_tests ${SELVAR_E2E_SOURCES} ${CMAKE_CURRENT_LIST_DIR}/demo_e2e_test.cpp)
target_include_directories(selvar_demo_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/e2e ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(selvar_demo_tests PRIVATE GTest::gtest Threads::Threads)
target_compile_definitions(selvar_demo_tests PRIVATE
  SELVAR_E2E_EXECUTABLE="$<TARGET_FILE:Selvar>"
  SELVAR_E2E_MODULE_DIR="${SELVAR_PLUGIN_DIR}"
  SELVAR_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(selvar_demo_tests Selvar ${SELVAR_DEMO_MODULE_TARGETS})

gtest_discover_tests(selvar_demo_tests
  TEST_PREFIX "demo."
  DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 90 LABELS "demo;e2e")
