// Folders that only the run's own user, Administrators and SYSTEM can change. One is made with a
// protected DACL, and recognised again by a later run through a held handle, so that what it holds
// can be trusted. Another user may make a folder of the same name first: its owner or DACL tells.
#pragma once

#include <windows.h>

// Creates the folder with a protected DACL that grants SYSTEM, Administrators and the run's owner
// full access and nobody else anything; false when it exists already or cannot be made.
bool CreateProtectedFolder(const wchar_t* path);

// True when the folder, held open with READ_CONTROL, is owned by the run's user, Administrators or
// SYSTEM, and its DACL allows access to none but SYSTEM, Administrators and that owner.
bool IsProtectedAsMade(HANDLE folder);
