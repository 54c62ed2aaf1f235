# Cross-builds the Windows program (x86-64) and its tests with mingw-w64 on Linux; CTest runs the
# Windows executables under Wine.
#   cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZEM_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix-threads flavour: its libstdc++ has std::thread and friends, which GoogleTest uses.
set(CMAKE_C_COMPILER ${ZEM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEM_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZEM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static: the program and the tests run with no MinGW DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(ZEM_WINE NAMES wine wine64)
if(ZEM_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEM_WINE})
endif()
