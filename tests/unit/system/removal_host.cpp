// Test helper: does what the starter does last, StartSelfRemovalScript, and ends with exit code 0.
#include <windows.h>

#include "system/self_removal.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    StartSelfRemovalScript();
    return 0;
}
