# Delay-import libraries for the system DLLs that Windows does not protect through its KnownDLLs
# list. A DLL imported the ordinary way is looked for through the standard search, which starts in
# the program's own folder, and is loaded before WinMain can restrict that search. Delay-imported,
# it is loaded on the first call into it, by which time WinMain has restricted the search to the
# system directory (src/app/dll_search.cpp).
#
# Each library below becomes an imported target of its plain name, so that linking `wininet`,
# `comctl32` or `bcrypt` anywhere in this build links its delay-import library. The toolchain's
# ordinary import library stays reachable as ${VX_IMPORT_LIBRARY_<name>} (the unhardened test fixture links it).
#
# Keep this list and kUnprotectedDlls in src/app/dll_search.cpp the same.
set(VX_DELAY_LOADED_DLLS wininet.dll comctl32.dll bcrypt.dll)

# Made at configure time from the toolchain's import library: its function symbols become a .def
# file, and dlltool turns that into a delay-import library. In the i686 build the symbols are
# stdcall-decorated ("_Name@N") and the entries import the undecorated names (--kill-at), as the
# DLLs export them; x86-64 has one calling convention and its symbols are the names themselves.
function(vx_make_delay_import_library dll)
    get_filename_component(stem "${dll}" NAME_WE)
    find_library(VX_IMPORT_LIBRARY_${stem} NAMES lib${stem}.a REQUIRED)
    set(import_library "${VX_IMPORT_LIBRARY_${stem}}")
    set(folder "${CMAKE_BINARY_DIR}/delayload")
    set(delay_library "${folder}/lib${stem}_delay.a")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${import_library}")

    if(NOT EXISTS "${delay_library}" OR "${import_library}" IS_NEWER_THAN "${delay_library}"
       OR "${CMAKE_CURRENT_FUNCTION_LIST_FILE}" IS_NEWER_THAN "${delay_library}")
        file(MAKE_DIRECTORY "${folder}")
        execute_process(COMMAND "${CMAKE_NM}" --defined-only "${import_library}"
                        OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
        string(REGEX MATCHALL "[\r\n][0-9a-f]+ T ${symbol_prefix}[^\r\n]+" entries "\n${symbols}")
        list(TRANSFORM entries REPLACE "^[\r\n][0-9a-f]+ T ${symbol_prefix}" "")
        list(REMOVE_DUPLICATES entries)
        list(SORT entries)
        if(NOT entries)
            message(FATAL_ERROR "No functions found in ${import_library}")
        endif()
        list(JOIN entries "\n" exports)
        file(WRITE "${folder}/${stem}.def" "LIBRARY ${dll}\nEXPORTS\n${exports}\n")
        execute_process(COMMAND "${CMAKE_DLLTOOL}" ${machine_options} --deterministic-libraries
                                --input-def "${folder}/${stem}.def" --dllname "${dll}"
                                --output-delaylib "${delay_library}"
                        WORKING_DIRECTORY "${folder}" COMMAND_ERROR_IS_FATAL ANY)
        # GNU ld drops the code section of an import-library entry when nothing calls its jump
        # thunk, which is the case for every function declared dllimport (binutils bug 14339). In a
        # delay-import entry that section also holds the stub that loads the DLL on the first call,
        # and the delay-import table points there. Renamed and flagged as data, the section is kept,
        # and the linker script still places it in .text.
        execute_process(COMMAND "${CMAKE_OBJCOPY}"
                                --rename-section ".text=.text$delay,contents,alloc,load,readonly,data"
                                "${delay_library}"
                        COMMAND_ERROR_IS_FATAL ANY)
    endif()

    add_library(${stem} STATIC IMPORTED)
    # The entries call __delayLoadHelper2 of the MinGW-w64 runtime, which loads the DLL by its
    # name, that is through the process's restricted search, and binds the function by name.
    set_target_properties(${stem} PROPERTIES IMPORTED_LOCATION "${delay_library}")
endfunction()

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(symbol_prefix "_")
    set(machine_options --machine i386 --kill-at)
else()
    set(symbol_prefix "")
    set(machine_options --machine i386:x86-64)
endif()
foreach(dll IN LISTS VX_DELAY_LOADED_DLLS)
    vx_make_delay_import_library(${dll})
endforeach()
