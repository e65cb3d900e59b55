// Test helper: does what the starter does last, StartSelfRemovalScript, and ends with exit code 0.
// Its command line may give the number of tries; without one it gives the starter's.
#include <windows.h>

#include <cstdlib>

#include "system/self_removal.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    const unsigned long tries = strtoul(commandLine, nullptr, 10);
    StartSelfRemovalScript(tries != 0 ? tries : kSelfRemovalTries);
    return 0;
}
