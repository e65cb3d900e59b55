// The starter's entry point: one run of the update sequence, then exit code 0.
#include <windows.h>

#include "app/dll_search.h"
#include "app/globals.h"
#include "app/update_sequence.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    RestrictDllSearch();  // before anything loads a library that could be planted beside us
    g_instance = instance;
    RunUpdateSequence();
    return 0;
}
