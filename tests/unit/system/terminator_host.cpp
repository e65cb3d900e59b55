// Test helper: takes the psapi road of the process terminator once, as on Windows NT 4, and ends
// with exit code 0. With the argument "bare" it loads "psapi.DLL" by its bare name instead, which
// shows a test that a planted library would be loaded.
#include <windows.h>

#include <cstring>

#include "app/globals.h"
#include "system/process_terminator.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    if (strcmp(commandLine, "bare") == 0) {
        FreeLibrary(LoadLibraryA("psapi.DLL"));
        return 0;
    }
    g_osPlatformId = VER_PLATFORM_WIN32_NT;
    g_osMajorVersion = 4;
    TerminateProcessesByName("vxagent.exe");
    return 0;
}
