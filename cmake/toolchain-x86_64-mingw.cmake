# Cross build for 64-bit Windows with Debian's mingw-w64 (x86-64), from the
# same sources into a folder of its own (build-x64). binutils adds
# HIGH_ENTROPY_VA to DYNAMIC_BASE and NX_COMPAT for x64 images.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
