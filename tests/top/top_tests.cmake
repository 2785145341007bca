# Tests of Selvar-top (tools/top): its table from known documents, and the
# tool itself against a stand-in endpoint. Included from tools/tools.cmake.
include_guard(GLOBAL)
find_package(GTest REQUIRED)
include(GoogleTest)

add_executable(selvar_top_tests
  ${CMAKE_SOURCE_DIR}/tests/top/top_table_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/top/top_tool_test.cpp
)
target_link_libraries(selvar_top_tests PRIVATE selvar_top GTest::gtest_main)
target_compile_definitions(selvar_top_tests PRIVATE TOP_TOOL="$<TARGET_FILE:Selvar-top>")
add_dependencies(selvar_top_tests Selvar-top)
gtest_discover_tests(selvar_top_tests TEST_PREFIX "top." DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60)
