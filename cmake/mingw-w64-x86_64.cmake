# Cross-compiles the Windows x64 build with mingw-w64 (Debian packages
# mingw-w64 and g++-mingw-w64-x86-64-posix):
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The -posix compilers are used because std::thread needs the posix thread
# model. libgcc, libstdc++ and winpthread are linked statically so that the
# DLLs and the test programs run under Wine (or on Windows) without any extra
# runtime DLL next to them. Test programs run through scripts/wine-run.sh.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KX_MINGW_TRIPLET x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${KX_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KX_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KX_MINGW_TRIPLET}-windres)
find_program(KX_MINGW_DLLTOOL NAMES ${KX_MINGW_TRIPLET}-dlltool REQUIRED)
find_program(KX_MINGW_OBJDUMP NAMES ${KX_MINGW_TRIPLET}-objdump REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${KX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static makes the linker take libwinpthread.a instead of its DLL import
# library; the system DLLs (kernel32, ole32, mfplat...) only have import
# libraries, so they stay dynamic.
set(KX_MINGW_STATIC_RUNTIME "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${KX_MINGW_STATIC_RUNTIME}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${KX_MINGW_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${KX_MINGW_STATIC_RUNTIME}")

# CTest (and gtest_discover_tests) run the Windows programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
