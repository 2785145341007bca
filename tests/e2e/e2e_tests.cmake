# End-to-end tests: each test process moves into a mount and PID namespace of
# its own and runs a copy of the built Selvar executable there. They need root
# (for the namespaces and mounts) and start real daemons, a few seconds each.
set(SELVAR_E2E_DIR ${CMAKE_CURRENT_LIST_DIR})

add_executable(selvar_e2e_tests
  ${SELVAR_E2E_DIR}/e2e_main.cpp
  ${SELVAR_E2E_DIR}/private_namespace.cpp
  ${SELVAR_E2E_DIR}/process_runner.cpp
  ${SELVAR_E2E_DIR}/syslog_reader.cpp
  ${SELVAR_E2E_DIR}/sandbox.cpp
  ${SELVAR_E2E_DIR}/syslog_reader_test.cpp
  ${SELVAR_E2E_DIR}/daemon_e2e_test.cpp
)
target_include_directories(selvar_e2e_tests PRIVATE ${SELVAR_E2E_DIR})
target_link_libraries(selvar_e2e_tests PRIVATE GTest::gtest Threads::Threads)
target_compile_definitions(selvar_e2e_tests PRIVATE SELVAR_E2E_EXECUTABLE="$<TARGET_FILE:Selvar>")
# Where the build puts the modules it makes, for Sandbox::builtModule().
if(SELVAR_PLUGIN_DIR)
  target_compile_definitions(selvar_e2e_tests PRIVATE SELVAR_E2E_MODULE_DIR="${SELVAR_PLUGIN_DIR}")
endif()
# The tests copy the executable at run time; it must be current.
add_dependencies(selvar_e2e_tests Selvar)

# Namespaces keep the tests apart, so they may run in parallel.
gtest_discover_tests(selvar_e2e_tests
  TEST_PREFIX "e2e."
  TEST_FILTER "-Points/ModuleCrash.*:ModuleExit.*"
  DISCOVERY_TIMEOUT 60
  NO_PRETTY_VALUES
  PROPERTIES TIMEOUT 20 LABELS e2e
)
# A daemon that dies by a signal: the ThreadSanitizer runtime intercepts
# fatal signals and its exit() reports, so these run in the other builds.
set(SELVAR_CRASH_LABELS e2e)
if(SELVAR_SANITIZE STREQUAL "thread")
  set(SELVAR_CRASH_LABELS no_tsan)
endif()
gtest_discover_tests(selvar_e2e_tests
  TEST_PREFIX "e2e."
  TEST_FILTER "Points/ModuleCrash.*:ModuleExit.*"
  DISCOVERY_TIMEOUT 60
  NO_PRETTY_VALUES
  PROPERTIES TIMEOUT 15 LABELS "${SELVAR_CRASH_LABELS}"
)

# The loader and status tests run the built test modules (tests/modules) in
# the daemon and read back their logs through the module fixture's parser.
target_sources(selvar_e2e_tests PRIVATE
  ${SELVAR_E2E_DIR}/module_e2e.cpp
  ${SELVAR_E2E_DIR}/loader_e2e_test.cpp
  ${SELVAR_E2E_DIR}/status_e2e_test.cpp
  ${SELVAR_E2E_DIR}/module_crash_e2e_test.cpp
  ${SELVAR_E2E_DIR}/dispatch_watch_e2e_test.cpp
  ${SELVAR_E2E_DIR}/top_view_e2e_test.cpp
  ${SELVAR_E2E_DIR}/status_endpoint_e2e_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/module_fixture.cpp
)
# The live view is run against the real daemon too.
target_compile_definitions(selvar_e2e_tests PRIVATE SELVAR_E2E_TOP="$<TARGET_FILE:Selvar-top>")
add_dependencies(selvar_e2e_tests Selvar-top)
target_link_libraries(selvar_e2e_tests PRIVATE nlohmann_json::nlohmann_json)
target_include_directories(selvar_e2e_tests PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/events)
target_compile_definitions(selvar_e2e_tests PRIVATE SELVAR_TEST_MODULE_DIR="${SELVAR_TEST_MODULE_DIR}")
add_dependencies(selvar_e2e_tests test_module no_load_module load_only_module)

# Bad input end to end: broken modules together, bad core.xml, untrusted
# plugins, planted links for the lock and PID file.
target_sources(selvar_e2e_tests PRIVATE ${SELVAR_E2E_DIR}/bad_input_e2e_test.cpp)

# The inspector against the service over the same plugins directories.
if(TARGET Selvar-inspect)
  find_package(nlohmann_json 3 REQUIRED)
  target_sources(selvar_e2e_tests PRIVATE ${SELVAR_E2E_DIR}/inspector_agreement_e2e_test.cpp)
  target_link_libraries(selvar_e2e_tests PRIVATE nlohmann_json::nlohmann_json)
  target_compile_definitions(selvar_e2e_tests PRIVATE SELVAR_E2E_INSPECTOR="$<TARGET_FILE:Selvar-inspect>")
  add_dependencies(selvar_e2e_tests Selvar-inspect)
endif()
