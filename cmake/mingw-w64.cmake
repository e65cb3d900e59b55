# What both MinGW-w64 toolchain files share: Debian's cross compilers of the posix thread model for
# the target triple VX_TRIPLE, and the target's own headers and libraries only.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VX_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VX_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VX_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
