# Demo modules: camera, recorder and monitor, built as plain shared objects
# (no "lib" prefix) into build/plugins, where the service run from build/
# finds them. They see only the two public headers, through the same include
# directories an installed kit gives module authors. Included from the
# top-level CMakeLists.txt.

set(SELVAR_MODULE_HEADER_DIRS ${CMAKE_SOURCE_DIR}/pluginhost ${CMAKE_SOURCE_DIR}/events)
set(SELVAR_DEMO_MODULES camera recorder monitor)

foreach(module ${SELVAR_DEMO_MODULES})
  set(target selvar_demo_${module})
  add_library(${target} MODULE ${CMAKE_CURRENT_LIST_DIR}/${module}.c)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${module}
    PREFIX ""
    SUFFIX ".so"
    C_STANDARD 99
    C_STANDARD_REQUIRED ON
    C_EXTENSIONS OFF
    C_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${SELVAR_PLUGIN_DIR})
  target_include_directories(${target} PRIVATE ${SELVAR_MODULE_HEADER_DIRS})
  target_link_libraries(${target} PRIVATE Threads::Threads)
  # Every symbol a module uses must be resolved at link time: a module must
  # not rely on the executable's symbols. (Sanitizer runtimes resolve late.)
  if(SELVAR_SANITIZE STREQUAL "")
    target_link_options(${target} PRIVATE "-Wl,-z,defs")
  endif()
  list(APPEND SELVAR_DEMO_MODULE_TARGETS ${target})
endforeach()

# Building the service (run.sh builds only that target) brings the demo
# modules up to date beside it.
add_dependencies(Selvar ${SELVAR_DEMO_MODULE_TARGETS})
