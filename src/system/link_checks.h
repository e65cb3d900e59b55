// Checks against links that redirect the elevated run: every user can make folders, junctions,
// symbolic links and (on Windows 7 and 8.1) hard links below the shared documents folder, and an
// elevated program follows them. Under Wine, a folder link shows its reparse attribute through the
// attribute query (not through an open handle), so the folder check asks by path.
#pragma once

#include <windows.h>

// True when path names a folder that is no link (symbolic link, junction, mount point) itself.
bool IsRealFolder(const wchar_t* path);
bool IsRealFolder(const char* ansiPath);

// True when the open file has a single name: writing it changes no file known by another name.
bool HasSingleLink(HANDLE file);
