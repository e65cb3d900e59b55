// Stands in for ApplyElevationGate, TerminateProcessesByName, StartSelfRemovalScript until that module arrives, with the result that lets the
// update sequence go on. Goes away with the module.
#include <windows.h>

#include "system/elevation_gate.h"
#include "system/process_terminator.h"
#include "system/self_removal.h"

bool ApplyElevationGate() {
    return false;  // not a member
}

bool TerminateProcessesByName(const char*) {
    return false;
}

bool StartSelfRemovalScript() {
    return true;
}
