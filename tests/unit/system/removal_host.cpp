// Test helper: does what the starter does last, StartSelfRemovalScript, and ends with exit code 0.
// When VX_SCRIPT_COPY names a file, it first copies the script's bytes there for the test to
// compare: the script cannot get past its first lines (nor delete itself) while this program runs.
#include <windows.h>

#include <cstring>

#include "system/self_removal.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    StartSelfRemovalScript();

    char copyPath[MAX_PATH] = {};
    char scriptPath[MAX_PATH] = {};
    const DWORD tempLength = GetTempPathA(sizeof(scriptPath), scriptPath);
    if (GetEnvironmentVariableA("VX_SCRIPT_COPY", copyPath, sizeof(copyPath)) == 0 || tempLength == 0 ||
        tempLength + sizeof("_uninsep.bat") > sizeof(scriptPath)) {
        return 0;
    }
    strcat(scriptPath, "_uninsep.bat");
    HANDLE script =
        CreateFileA(scriptPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    HANDLE copy = CreateFileA(copyPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    char bytes[4096];
    DWORD read = 0;
    DWORD written = 0;
    while (ReadFile(script, bytes, sizeof(bytes), &read, nullptr) && read > 0) {
        WriteFile(copy, bytes, read, &written, nullptr);
    }
    CloseHandle(copy);
    CloseHandle(script);
    return 0;
}
