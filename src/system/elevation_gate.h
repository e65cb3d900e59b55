// The elevation gate: a member of the Administrators group runs the update elevated, relaunched
// through the shell's "runas" verb with the single argument "-start"; anyone else runs it as started.
#pragma once

#include <windows.h>

// Returns the membership flag, or ends the process with exit code 0 (relaunch or refusal).
bool ApplyElevationGate();
bool IsAdministratorsMember();
void RelaunchElevated(const char* file, const char* parameters);

// Seam for a token a test machine cannot give (no Administrators, no groups at all): reads the
// process token's information; the program leaves it at GetTokenInformation.
using PFN_GET_TOKEN_INFORMATION = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
extern PFN_GET_TOKEN_INFORMATION g_pfnGetTokenInformation;
