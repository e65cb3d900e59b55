#include "app/dll_search.h"

#include <windows.h>

#include "system/system_folder.h"

const char* g_setDefaultDllDirectoriesExport = "SetDefaultDllDirectories";

namespace {

using PFN_SET_DEFAULT_DLL_DIRECTORIES = BOOL(WINAPI*)(DWORD);

// The libraries the starter loads that not every supported Windows has on its KnownDLLs list,
// and that would then be searched for in the program's folder first. The same list as
// VX_DELAY_LOADED_DLLS in cmake/DelayLoad.cmake.
const char* const kUnprotectedDlls[] = {"wininet.dll", "comctl32.dll", "bcrypt.dll"};
// Loaded at once on every road: under Wine 8, schannel.dll, which WinINet's first TLS connection
// brings in, finds its import bcrypt.dll through a search that still starts in the program's
// folder. Loaded here by full path, it is taken as loaded.
const char kTlsImport[] = "bcrypt.dll";

void LoadFromSystemDirectory(const char* name) {
    char path[MAX_PATH] = {};
    if (!SystemFolderFile(name, path)) {
        return;
    }
    // The altered search looks for the libraries it imports in its own folder, the system
    // directory, instead of the program's folder. Never freed: the delay-load takes this module.
    LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

bool RestrictDllSearch() {
    // Looked up, not imported: Windows Vista and Windows 7 without KB2533623 lack it, and an
    // import would keep the program from starting there at all.
    const auto setDefaultDllDirectories =
        reinterpret_cast<PFN_SET_DEFAULT_DLL_DIRECTORIES>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleA("kernel32.dll"), g_setDefaultDllDirectoriesExport)));
    if (setDefaultDllDirectories != nullptr && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        LoadFromSystemDirectory(kTlsImport);
        return true;
    }
    for (const char* name : kUnprotectedDlls) {
        LoadFromSystemDirectory(name);
    }
    return false;
}
