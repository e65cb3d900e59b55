// The elevation gate: a member of the Administrators group runs the update elevated, relaunched
// through the shell's "runas" verb with the single argument "-start"; anyone else runs it as started.
#pragma once

// Returns the membership flag, or ends the process with exit code 0 (relaunch or refusal).
bool ApplyElevationGate();
bool IsAdministratorsMember();
void RelaunchElevated(const char* file, const char* parameters);
