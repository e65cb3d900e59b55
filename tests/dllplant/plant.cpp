// Test helper: a DLL planted beside a program under the name of a system DLL. Once loaded into a
// process it leaves "<its own file name>.loaded" beside itself, holding that process's program
// file name. It offers none of the functions of the DLL it stands in for.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    char marker[MAX_PATH] = {};
    const char suffix[] = ".loaded";
    const DWORD length = GetModuleFileNameA(instance, marker, MAX_PATH);
    if (length == 0 || length + sizeof(suffix) > MAX_PATH) {
        return TRUE;
    }
    CopyMemory(marker + length, suffix, sizeof(suffix));

    char program[MAX_PATH] = {};
    const DWORD programLength = GetModuleFileNameA(nullptr, program, MAX_PATH);
    const HANDLE file = CreateFileA(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, program, programLength, &written, nullptr);
        WriteFile(file, "\r\n", 2, &written, nullptr);
        CloseHandle(file);
    }
    return TRUE;
}
