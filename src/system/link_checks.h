// Checks against links that redirect the elevated run: every user can make folders, junctions,
// symbolic links and (on Windows 7 and 8.1) hard links below the shared documents folder, and an
// elevated program follows them. Under Wine, a folder link shows its reparse attribute through the
// attribute query (not through an open handle), so the folder check asks by path.
#pragma once

#include <windows.h>

#include "system/scoped_handles.h"

// True when path names a folder that is no link (symbolic link, junction, mount point) itself.
bool IsRealFolder(const wchar_t* path);
// The same test on attributes already queried by path.
bool IsRealFolderAttributes(DWORD attributes);

// Holds the folder open so that it can be neither renamed nor removed, hence not swapped for a link,
// while held, and confirms that it is a real folder, not a link; false, holding nothing, otherwise.
// access is FILE_LIST_DIRECTORY, with DELETE added only to delete the folder through the handle:
// a rename into a folder held with DELETE fails, as the platform opens the folder for it without
// delete sharing.
bool HoldRealFolder(const wchar_t* folder, DWORD access, CScopedHandle& held);
bool HoldRealFolder(const char* ansiFolder, CScopedHandle& held);

// True when the open file has a single name: writing it changes no file known by another name.
bool HasSingleLink(HANDLE file);
