# minizip's unzip interface with its stdio file layer, compiled from Debian's source package
# (fetched by scripts/setup) against the target's static zlib.
file(GLOB VX_MINIZIP_DIRS LIST_DIRECTORIES true "${VX_DEPS_DIR}/minizip-*")
list(FILTER VX_MINIZIP_DIRS INCLUDE REGEX "/minizip-[0-9.]+$")
if(NOT VX_MINIZIP_DIRS)
    message(FATAL_ERROR "minizip sources not found in ${VX_DEPS_DIR}: run scripts/setup")
endif()
list(GET VX_MINIZIP_DIRS 0 VX_MINIZIP_DIR)

find_library(VX_ZLIB_STATIC NAMES libz.a REQUIRED)
find_path(VX_ZLIB_INCLUDE zlib.h REQUIRED)

add_library(minizip STATIC "${VX_MINIZIP_DIR}/unzip.c" "${VX_MINIZIP_DIR}/ioapi.c")
target_include_directories(minizip SYSTEM PUBLIC "${VX_MINIZIP_DIR}" "${VX_ZLIB_INCLUDE}")
target_link_libraries(minizip PUBLIC "${VX_ZLIB_STATIC}")
