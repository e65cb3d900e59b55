// Where the starter's DLLs come from. A DLL planted beside the program (a Downloads folder, and
// for an administrator an elevated run) must never be loaded, so before anything loads a library
// that Windows does not protect through its KnownDLLs list, the DLL search of the whole process is
// restricted to the system directory. Those libraries are delay-loaded (cmake/DelayLoad.cmake).
#pragma once

// First thing in WinMain. True when the default DLL search of the process is now the system
// directory alone. Where Windows cannot do that (Windows 7 without KB2533623), each unprotected
// library is loaded at once from the system directory by its full path, to stay loaded for the
// life of the process, and the result is false: its later delay-load then finds it loaded.
bool RestrictDllSearch();

// The kernel32 export that restricts the search; a test fixture names one that no kernel32 has,
// as on a Windows 7 without the update.
extern const char* g_setDefaultDllDirectoriesExport;
