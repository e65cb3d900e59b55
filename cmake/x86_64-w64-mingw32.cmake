# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 x86-64 compilers: the tests' build where
# the machine runs no 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VX_TRIPLE x86_64-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
