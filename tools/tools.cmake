# Developer tools built beside the service: the module inspector, and its
# tests (included from here so they need no line in tests/CMakeLists.txt).
set(SELVAR_INSPECT_DIR ${CMAKE_SOURCE_DIR}/tools/inspect)

# Everything but main and the exported names, shared with the tests.
add_library(selvar_inspect STATIC
  ${SELVAR_INSPECT_DIR}/inspect_options.cpp
  ${SELVAR_INSPECT_DIR}/json_writer.cpp
  ${SELVAR_INSPECT_DIR}/load_pass.cpp
  ${SELVAR_INSPECT_DIR}/probe_child.cpp
  ${SELVAR_INSPECT_DIR}/probe_runner.cpp
  ${SELVAR_INSPECT_DIR}/probe_wire.cpp
  ${SELVAR_INSPECT_DIR}/report_common.cpp
  ${SELVAR_INSPECT_DIR}/report_json.cpp
  ${SELVAR_INSPECT_DIR}/report_text.cpp
)
target_link_libraries(selvar_inspect PUBLIC selvar_core)

add_executable(Selvar-inspect
  ${SELVAR_INSPECT_DIR}/main.cpp
  ${SELVAR_INSPECT_DIR}/service_symbols.cpp
)
target_link_libraries(Selvar-inspect PRIVATE selvar_inspect)
# The same exported names as the service, so modules load here as there.
target_link_options(Selvar-inspect PRIVATE "-Wl,--dynamic-list=${CMAKE_SOURCE_DIR}/app/exports.list")
set_target_properties(Selvar-inspect PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# Installed beside the service's executable (cmake/install.cmake names it).
if(DEFINED SELVAR_INSTALL_BINDIR)
  install(TARGETS Selvar-inspect RUNTIME DESTINATION ${SELVAR_INSTALL_BINDIR} COMPONENT runtime)
endif()

# Selvar-top, the live view of a running service's figures (ncursesw for
# UTF-8 module names, nlohmann-json for the endpoint's document).
set(CURSES_NEED_WIDE TRUE)
find_package(Curses REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
add_library(selvar_top STATIC
  ${CMAKE_SOURCE_DIR}/tools/top/top_client.cpp
  ${CMAKE_SOURCE_DIR}/tools/top/top_snapshot.cpp
  ${CMAKE_SOURCE_DIR}/tools/top/top_table.cpp
)
target_include_directories(selvar_top PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(selvar_top PUBLIC nlohmann_json::nlohmann_json)
add_executable(Selvar-top ${CMAKE_SOURCE_DIR}/tools/top/main.cpp)
target_include_directories(Selvar-top PRIVATE ${CURSES_INCLUDE_DIRS})
target_link_libraries(Selvar-top PRIVATE selvar_top ${CURSES_LIBRARIES})
set_target_properties(Selvar-top PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
if(DEFINED SELVAR_INSTALL_BINDIR)
  install(TARGETS Selvar-top RUNTIME DESTINATION ${SELVAR_INSTALL_BINDIR} COMPONENT runtime)
endif()

# include(CTest) comes after this file; declare its switch the same way.
option(BUILD_TESTING "Build the testing tree." ON)
if(BUILD_TESTING)
  enable_testing()
  include(${CMAKE_SOURCE_DIR}/tests/inspect/inspect_tests.cmake)
  include(${CMAKE_SOURCE_DIR}/tests/top/top_tests.cmake)
endif()

