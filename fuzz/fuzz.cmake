# Fuzz targets (libFuzzer), built only with -DSELVAR_FUZZ=ON in a build
# directory of their own configured with clang, e.g.
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -DSELVAR_FUZZ=ON -DBUILD_TESTING=OFF
#   cmake --build build-fuzz -j2 --target selvar_fuzzers
#   fuzz/run-fuzzers.sh build-fuzz 60
# The service library is then instrumented for coverage and built with
# AddressSanitizer and UndefinedBehaviorSanitizer; everything linking it gets
# the sanitizer runtimes. Included from the top-level CMakeLists.txt, after
# the selvar_core target.

include_guard(GLOBAL)

option(SELVAR_FUZZ "Build the libFuzzer targets (clang only)" OFF)

if(SELVAR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "SELVAR_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  if(NOT TARGET selvar_core)
    message(FATAL_ERROR "fuzz/fuzz.cmake must be included after the selvar_core target is defined")
  endif()

  set(SELVAR_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
  set(SELVAR_FUZZ_OUTPUT_DIR ${CMAKE_BINARY_DIR}/fuzz)
  set(SELVAR_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)

  target_compile_options(selvar_core PRIVATE -fsanitize=fuzzer-no-link ${SELVAR_FUZZ_SANITIZERS})
  target_link_options(selvar_core INTERFACE -fsanitize=address,undefined)

  # The module the submission fuzzer loads: public headers only.
  add_library(selvar_fuzz_module MODULE ${SELVAR_FUZZ_DIR}/fuzz_module.c)
  set_target_properties(selvar_fuzz_module PROPERTIES
    OUTPUT_NAME fuzz_module
    PREFIX ""
    SUFFIX ".so"
    C_STANDARD 99
    C_STANDARD_REQUIRED ON
    C_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${SELVAR_FUZZ_OUTPUT_DIR})
  target_include_directories(selvar_fuzz_module PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/events)
  target_compile_options(selvar_fuzz_module PRIVATE ${SELVAR_FUZZ_SANITIZERS})
  target_link_libraries(selvar_fuzz_module PRIVATE Threads::Threads)

  set(SELVAR_FUZZ_TARGETS fuzz_submit_event fuzz_core_xml fuzz_syslog_text)
  foreach(fuzzer ${SELVAR_FUZZ_TARGETS})
    add_executable(${fuzzer} ${SELVAR_FUZZ_DIR}/${fuzzer}.cpp)
    target_compile_options(${fuzzer} PRIVATE -fsanitize=fuzzer ${SELVAR_FUZZ_SANITIZERS})
    target_link_options(${fuzzer} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${fuzzer} PRIVATE selvar_core ${CMAKE_DL_LIBS})
    set_target_properties(${fuzzer} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${SELVAR_FUZZ_OUTPUT_DIR})
  endforeach()

  # Payload copies are counted through the allocation seam and a wrapped free().
  target_sources(fuzz_submit_event PRIVATE ${CMAKE_SOURCE_DIR}/tests/stress/payload_tracker.cpp)
  target_link_options(fuzz_submit_event PRIVATE -Wl,--wrap=free)
  add_dependencies(fuzz_submit_event selvar_fuzz_module)

  add_custom_target(selvar_fuzzers DEPENDS ${SELVAR_FUZZ_TARGETS} selvar_fuzz_module)

  # With tests enabled, each fuzzer replays its seed corpus once.
  if(BUILD_TESTING)
    foreach(fuzzer ${SELVAR_FUZZ_TARGETS})
      file(GLOB seeds ${SELVAR_FUZZ_DIR}/corpus/${fuzzer}/*)
      if(seeds)
        add_test(NAME fuzz_seeds.${fuzzer} COMMAND ${fuzzer} ${seeds})
        set_tests_properties(fuzz_seeds.${fuzzer} PROPERTIES TIMEOUT 300 LABELS fuzz)
      endif()
    endforeach()
  endif()
endif()
