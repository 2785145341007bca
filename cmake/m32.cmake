# The 32-bit target (i386) on an x86-64 Debian host with the i386 packages
# of the build's libraries installed (scripts/install-deps.sh m32 does that):
#   cmake -S . -B build-m32 -DCMAKE_TOOLCHAIN_FILE=cmake/m32.cmake
# Everything, tests included, is then a 32-bit program. Not a cross build in
# CMake's sense: the host runs the results (natively, or through qemu-i386
# registered with binfmt_misc), so tests are discovered and run as usual.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(FIND_LIBRARY_USE_LIB64_PATHS OFF)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
# The i386 wx-config; the first one installed wins.
file(GLOB SELVAR_M32_WX_CONFIGS /usr/lib/i386-linux-gnu/wx/config/*)
if(SELVAR_M32_WX_CONFIGS)
  list(GET SELVAR_M32_WX_CONFIGS 0 SELVAR_M32_WX_CONFIG)
  set(WX_CONFIG ${SELVAR_M32_WX_CONFIG} CACHE FILEPATH "wx-config of the 32-bit target")
endif()
set(SELVAR_TARGET_M32 ON CACHE BOOL "The build is for the 32-bit target")
