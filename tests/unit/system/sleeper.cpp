// Test helper: a program that stays running, started under the product's names to be terminated.
// Its one argument is an inherited event handle, set once the program runs its own code (its
// modules are loaded and listed by then); if nobody ends it, it ends with exit code 3.
#include <windows.h>

#include <cstdlib>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    HANDLE running = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(strtoul(commandLine, nullptr, 10)));
    SetEvent(running);
    CloseHandle(running);
    Sleep(10 * 60 * 1000);
    return 3;
}
