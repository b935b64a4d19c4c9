# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the -posix compilers, whose C++
# runtime has std::thread and std::mutex). Everything is linked statically, so the programs in
# build/windows/bin need no DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(REFLASHER_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${REFLASHER_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${REFLASHER_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${REFLASHER_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${REFLASHER_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
