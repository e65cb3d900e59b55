# The vendor's public keys compiled into the starter (VX_PACKAGE_KEYS: one PEM file, or two while the
# vendor changes keys). With keys, the starter installs only packages signed with one of them. The
# points are written into a source of their own, and only they: the build stays reproducible.
set(VX_PACKAGE_KEYS "" CACHE STRING
    "One or two ECDSA P-256 public keys (PEM files, as `openssl ec -pubout` writes them) whose signature a package needs")

# Writes output, a source defining g_packageKeys from the PEM files in keys; a file that is no such
# key stops the configuration with a line naming it.
function(vx_package_keys_source output keys)
    list(LENGTH keys count)
    if(count GREATER 2)
        message(FATAL_ERROR "VX_PACKAGE_KEYS: at most two keys, the old and the new one (got ${count})")
    endif()
    set(VX_PACKAGE_KEY_POINTS "")
    if(count GREATER 0)
        find_package(Python3 REQUIRED COMPONENTS Interpreter)
        execute_process(COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/tools/package/vxpackage/signing.py" ${keys}
                        OUTPUT_VARIABLE VX_PACKAGE_KEY_POINTS ERROR_VARIABLE problem RESULT_VARIABLE failed)
        if(failed)
            string(STRIP "${problem}" problem)
            message(FATAL_ERROR "VX_PACKAGE_KEYS: ${problem}")
        endif()
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${keys})
    endif()
    set(VX_PACKAGE_KEY_COUNT ${count})
    configure_file("${CMAKE_SOURCE_DIR}/src/net/package_keys.cpp.in" "${output}" @ONLY)
endfunction()
