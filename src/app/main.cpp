// The starter's entry point: one run of the update sequence, then exit code 0.
#include <windows.h>

#include "app/globals.h"
#include "app/update_sequence.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    g_instance = instance;
    RunUpdateSequence();
    return 0;
}
