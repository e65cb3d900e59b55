// Test fixture: the starter as it runs where kernel32 has no SetDefaultDllDirectories (Windows
// Vista, Windows 7 without KB2533623), which Wine cannot be made to be. Set before WinMain runs.
#include "app/dll_search.h"

namespace {

struct CNoDefaultDllDirectories {
    CNoDefaultDllDirectories() { g_setDefaultDllDirectoriesExport = "NoSuchExportInAnyKernel32"; }
} g_noDefaultDllDirectories;

}  // namespace
