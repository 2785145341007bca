# Tests of the module author's kit: installation into a prefix, modules built
# out of tree against it (C with pkg-config, C++ with find_package), run in
# the installed service inside an e2e sandbox (root needed, as for the other
# e2e tests); and docs/modules.md held against the headers and its example.
# Included from tests/CMakeLists.txt.
if(NOT EXISTS ${CMAKE_SOURCE_DIR}/tests/e2e/sandbox.cpp OR NOT SELVAR_DEMO_MODULE_TARGETS
   OR NOT DEFINED SELVAR_INSTALL_PLUGINDIR)
  return()
endif()

find_program(SELVAR_PKG_CONFIG pkg-config REQUIRED)
find_program(SELVAR_SYSTEMD_ANALYZE systemd-analyze)
if(NOT SELVAR_SYSTEMD_ANALYZE)
  set(SELVAR_SYSTEMD_ANALYZE "")
endif()

add_executable(selvar_sdk_tests
  ${CMAKE_SOURCE_DIR}/tests/e2e/e2e_main.cpp
  ${CMAKE_SOURCE_DIR}/tests/e2e/private_namespace.cpp
  ${CMAKE_SOURCE_DIR}/tests/e2e/process_runner.cpp
  ${CMAKE_SOURCE_DIR}/tests/e2e/syslog_reader.cpp
  ${CMAKE_SOURCE_DIR}/tests/e2e/sandbox.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sdk_test.cpp)
target_include_directories(selvar_sdk_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/e2e ${CMAKE_SOURCE_DIR}/tests/demo)
target_link_libraries(selvar_sdk_tests PRIVATE GTest::gtest Threads::Threads)
target_compile_definitions(selvar_sdk_tests PRIVATE
  SELVAR_E2E_EXECUTABLE="$<TARGET_FILE:Selvar>"
  SELVAR_E2E_MODULE_DIR="${SELVAR_PLUGIN_DIR}"
  SELVAR_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  SELVAR_BINARY_DIR="${CMAKE_BINARY_DIR}"
  SELVAR_VERSION="${PROJECT_VERSION}"
  SELVAR_CMAKE_COMMAND="${CMAKE_COMMAND}"
  SELVAR_C_COMPILER="${CMAKE_C_COMPILER}"
  SELVAR_CXX_COMPILER="${CMAKE_CXX_COMPILER}"
  # -m32 on the 32-bit target: modules built by the tests match the service.
  SELVAR_TARGET_FLAGS="$<IF:$<BOOL:${SELVAR_TARGET_M32}>,-m32,>"
  SELVAR_PKG_CONFIG="${SELVAR_PKG_CONFIG}"
  SELVAR_SYSTEMD_ANALYZE="${SELVAR_SYSTEMD_ANALYZE}"
  SELVAR_INSTALL_SBINDIR="${SELVAR_INSTALL_BINDIR}"
  SELVAR_INSTALL_PLUGINDIR="${SELVAR_INSTALL_PLUGINDIR}"
  SELVAR_INSTALL_INCLUDEDIR="${SELVAR_INSTALL_INCLUDEDIR}"
  SELVAR_INSTALL_PKGCONFIGDIR="${SELVAR_INSTALL_PKGCONFIGDIR}"
  SELVAR_INSTALL_CMAKEDIR="${SELVAR_INSTALL_CMAKEDIR}"
  SELVAR_INSTALL_SYSTEMDDIR="${SELVAR_INSTALL_SYSTEMDDIR}")
# `cmake --install` copies what the build made: everything with an install
# rule must be built and current (a full build does that anyway).
add_dependencies(selvar_sdk_tests Selvar ${SELVAR_DEMO_MODULE_TARGETS})
foreach(installed Selvar-inspect Selvar-top)
  if(TARGET ${installed})
    add_dependencies(selvar_sdk_tests ${installed})
  endif()
endforeach()

# The installations share the build tree's install_manifest.txt: one at a time.
gtest_discover_tests(selvar_sdk_tests
  TEST_PREFIX "sdk."
  DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 240 LABELS "sdk;e2e" RESOURCE_LOCK selvar_install)
