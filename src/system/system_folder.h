// Paths in the system folder ("C:\Windows\System32"): what the starter loads or starts from there
// is named by its full path, never by a bare name that could be found beside the program or in the
// current folder first.
#pragma once

#include <windows.h>

// The system folder followed by a backslash and name; false when the folder is unknown or the
// path would not fit.
bool SystemFolderFile(const char* name, char (&path)[MAX_PATH]);
bool SystemFolderFile(const wchar_t* name, wchar_t (&path)[MAX_PATH]);
