# What both mingw-w64 toolchain files share; they set `triple` and the
# processor first.
# The posix thread model gives the C++ library its threads and mutexes (the
# tests use them); winpthread links statically like the rest of the runtime.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER  ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The product directory holds no mingw runtime DLL: link the runtimes statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -Wl,--dynamicbase -Wl,--nxcompat")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--dynamicbase -Wl,--nxcompat")
