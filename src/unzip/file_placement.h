// Putting unpacked files in place and taking them out again. A package is first unpacked whole into
// a staging folder inside the destination (the same volume), so that damage found anywhere in it
// changes nothing; only then is each installed file moved aside into staging and the new one moved
// into its place, and a failure on the way moves the old ones back. Only folders that are no links
// are entered or created, and a file known by a second name (a hard link) is not replaced.
#pragma once

#include <windows.h>

// A bound, shared by every step of one update, for a file that another process holds open for a
// moment (a program that has not quite ended, a scanner reading a new file).
class CSharingDeadline {
public:
    explicit CSharingDeadline(DWORD milliseconds) : m_dwStart(GetTickCount()), m_dwLength(milliseconds) {}
    // True after a short pause when the last call failed with a sharing or lock violation and the
    // bound is not reached: the caller tries again.
    bool PauseToRetry() const;

private:
    DWORD m_dwStart;
    DWORD m_dwLength;
};

// folder, a backslash unless it ends in one, then name; false when it does not fit.
bool ComposePath(const wchar_t* folder, const wchar_t* name, wchar_t (&path)[MAX_PATH]);

// Removes folder and everything below it; true when it is gone. Links inside are removed, not
// followed.
bool RemoveFolderTree(const wchar_t* folder);

// Creates the folders of relativeFile's path below destination that are missing, top down; every
// level that exists must be a real folder. created tells how many levels were made, innermost last.
bool PrepareFolders(const wchar_t* destination, const wchar_t* relativeFile, int& created);
// Removes the created innermost levels of relativeFile's path again.
void RemovePreparedFolders(const wchar_t* destination, const wchar_t* relativeFile, int created);

// Moves the file at target (if there is one) to oldPath, then stagedPath to target.
bool PlaceFile(const wchar_t* stagedPath, const wchar_t* target, const wchar_t* oldPath,
               const CSharingDeadline& deadline);
// Undoes PlaceFile as far as it went: the placed file is removed, the old one moved back.
bool RestoreFile(const wchar_t* stagedPath, const wchar_t* target, const wchar_t* oldPath,
                 const CSharingDeadline& deadline);
