# The two public headers compile as C99 and as C++17, on the 32-bit target
# and on LP64, with their layout assertions; each variant is built and run.
set(SELVAR_HEADER_INCLUDES -I${CMAKE_SOURCE_DIR}/pluginhost -I${CMAKE_SOURCE_DIR}/events)
set(SELVAR_LAYOUT_SOURCE ${CMAKE_CURRENT_LIST_DIR}/layout_check.c)
set(SELVAR_LAYOUT_FLAGS -pedantic -Wall -Wextra -Werror ${SELVAR_HEADER_INCLUDES})
add_test(NAME public_headers_c99_m32
  COMMAND ${CMAKE_C_COMPILER} -m32 -std=c99 ${SELVAR_LAYOUT_FLAGS} -c ${SELVAR_LAYOUT_SOURCE} -o layout_c99_m32.o)
add_test(NAME public_headers_cxx17_m32
  COMMAND ${CMAKE_CXX_COMPILER} -m32 -std=c++17 ${SELVAR_LAYOUT_FLAGS} -x c++ -c ${SELVAR_LAYOUT_SOURCE} -o layout_cxx17_m32.o)
string(JOIN " " SELVAR_LAYOUT_FLAG_TEXT ${SELVAR_LAYOUT_FLAGS})
add_test(NAME public_headers_c99_lp64
  COMMAND sh -c "${CMAKE_C_COMPILER} -std=c99 ${SELVAR_LAYOUT_FLAG_TEXT} ${SELVAR_LAYOUT_SOURCE} -o layout_c99 && ./layout_c99")
add_test(NAME public_headers_cxx17_lp64
  COMMAND sh -c "${CMAKE_CXX_COMPILER} -std=c++17 ${SELVAR_LAYOUT_FLAG_TEXT} -x c++ ${SELVAR_LAYOUT_SOURCE} -o layout_cxx17 && ./layout_cxx17")

# Modules may bind to the service's entry point and document name by symbol.
add_test(NAME executable_exports_entry_point
  COMMAND sh -c "nm -D --defined-only $<TARGET_FILE:Selvar> | grep -qw FlatPluginEvent && nm -D --defined-only $<TARGET_FILE:Selvar> | grep -qw documentName")
