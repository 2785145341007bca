# Benchmarks: selvar_bench and the bench modules it loads through the
# service's own load pass. Included from the top-level CMakeLists.txt.
#
# The baselines need GLib and ZeroMQ (found with pkg-config). When both are
# there the targets exist but are left out of the default build, so the
# normal build and test run do not pay for them; -DSELVAR_BENCH=ON builds
# them by default and makes the two libraries required. ./bench.sh installs
# what is missing, builds in build-bench and runs.

option(SELVAR_BENCH "Build the benchmarks with the default target (needs GLib and ZeroMQ)" OFF)

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(SELVAR_BENCH_GLIB QUIET IMPORTED_TARGET glib-2.0)
  pkg_check_modules(SELVAR_BENCH_ZMQ QUIET IMPORTED_TARGET libzmq)
endif()

if(NOT (SELVAR_BENCH_GLIB_FOUND AND SELVAR_BENCH_ZMQ_FOUND))
  if(SELVAR_BENCH)
    message(FATAL_ERROR "SELVAR_BENCH=ON needs pkg-config, glib-2.0 and libzmq (./bench.sh installs them)")
  endif()
  return()
endif()

if(SELVAR_BENCH)
  set(SELVAR_BENCH_EXCLUDE "")
else()
  set(SELVAR_BENCH_EXCLUDE EXCLUDE_FROM_ALL)
endif()

set(SELVAR_BENCH_DIR ${CMAKE_SOURCE_DIR}/bench)
set(SELVAR_BENCH_MODULE_DIR ${CMAKE_BINARY_DIR}/bench/modules)

# Bench modules: C99, the two public headers and the bench's own; built
# where the service run from the build directory never looks. The benchmark
# copies them (under numbered names) into plugins directories of its own.
set(SELVAR_BENCH_MODULES bench_source bench_sink bench_keeper bench_reader bench_tiny)
set(SELVAR_BENCH_MODULE_TARGETS "")
foreach(module ${SELVAR_BENCH_MODULES})
  set(target selvar_${module})
  set(sources ${SELVAR_BENCH_DIR}/modules/${module}.c)
  if(module STREQUAL "bench_keeper")
    list(APPEND sources ${SELVAR_BENCH_DIR}/keeper_queue.c)
  endif()
  add_library(${target} MODULE ${SELVAR_BENCH_EXCLUDE} ${sources})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${module}
    PREFIX ""
    SUFFIX ".so"
    C_STANDARD 99
    C_STANDARD_REQUIRED ON
    C_EXTENSIONS OFF
    C_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${SELVAR_BENCH_MODULE_DIR})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/pluginhost ${CMAKE_SOURCE_DIR}/events)
  target_link_libraries(${target} PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
  if(SELVAR_SANITIZE STREQUAL "")
    target_link_options(${target} PRIVATE "-Wl,-z,defs")
  endif()
  list(APPEND SELVAR_BENCH_MODULE_TARGETS ${target})
endforeach()

add_executable(selvar_bench ${SELVAR_BENCH_EXCLUDE}
  ${SELVAR_BENCH_DIR}/selvar_bench.cpp
  ${SELVAR_BENCH_DIR}/queued_runs.cpp
  ${SELVAR_BENCH_DIR}/road_runs.cpp
  ${SELVAR_BENCH_DIR}/footprint.cpp
  ${SELVAR_BENCH_DIR}/bench_util.cpp
  ${SELVAR_BENCH_DIR}/payload_count.cpp
  ${SELVAR_BENCH_DIR}/keeper_queue.c
)
target_include_directories(selvar_bench PRIVATE ${SELVAR_BENCH_DIR} ${CMAKE_SOURCE_DIR}/pluginhost)
target_link_libraries(selvar_bench PRIVATE selvar_core PkgConfig::SELVAR_BENCH_GLIB PkgConfig::SELVAR_BENCH_ZMQ
  ${CMAKE_DL_LIBS})
# The service's exported names, and the counting free() for every library.
target_link_options(selvar_bench PRIVATE "-Wl,--dynamic-list=${SELVAR_BENCH_DIR}/exports.list")
set_target_properties(selvar_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(selvar_bench ${SELVAR_BENCH_MODULE_TARGETS})
# The footprint figure runs the service executable with the demo modules.
foreach(demo Selvar selvar_demo_camera selvar_demo_recorder selvar_demo_monitor)
  if(TARGET ${demo})
    add_dependencies(selvar_bench ${demo})
  endif()
endforeach()
