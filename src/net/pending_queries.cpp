// Stands in for ProbeServerSelection, IsVersionCurrent until that module arrives, with the result that lets the
// update sequence go on. Goes away with the module.
#include <windows.h>

#include "net/server_queries.h"

int ProbeServerSelection() {
    return 1;  // the primary server
}

bool IsVersionCurrent(CUpdaterClient&, const char*, char (&serverVersionOut)[10]) {
    serverVersionOut[0] = '\0';
    return false;
}
