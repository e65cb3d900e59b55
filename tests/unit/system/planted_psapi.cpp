// Test helper: a psapi.dll planted beside a program. Once loaded, it leaves planted.loaded beside
// itself; it offers none of psapi's functions.
#include <windows.h>

#include <cstring>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        char marker[MAX_PATH] = {};
        GetModuleFileNameA(instance, marker, sizeof(marker) - 16);
        strcpy(strrchr(marker, '\\') + 1, "planted.loaded");
        CloseHandle(CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    return TRUE;
}
