// Putting unpacked files in place and taking them out again. A package is first unpacked whole into
// a staging folder inside the destination (the same volume), so that damage found anywhere in it
// changes nothing; only then is each installed file moved aside into staging and the new one moved
// into its place, as the update's journal lists them, and a failure on the way moves the old ones
// back. Only folders that are no links are entered or created, and a file known by a second name (a
// hard link) is not replaced.
#pragma once

#include <windows.h>

#include "unzip/update_journal.h"

// A bound on the time spent waiting, shared by every step of one update, for a file that another
// process holds open for a moment (a program that has not quite ended, a scanner reading a new file).
// Only the pauses count, so the last files of a long placement get their tries too.
// The bound of one update, and of one rollback.
const DWORD kSharingBoundMs = 10000;

class CSharingDeadline {
public:
    explicit CSharingDeadline(DWORD milliseconds) : m_dwWaited(0), m_dwLength(milliseconds) {}
    // True after a short pause when the last call failed with a sharing or lock violation, or access
    // denied, and the bound is not reached: the caller tries again.
    bool PauseToRetry();

private:
    DWORD m_dwWaited;
    DWORD m_dwLength;
};

// folder, a backslash unless it ends in one, then name; false when it does not fit.
bool ComposePath(const wchar_t* folder, const wchar_t* name, wchar_t (&path)[MAX_PATH]);

// The levels of a file's folder path that PrepareFolders made: count levels from the first, the
// top level below the destination being 0. Once one level is missing, every deeper one is made.
struct CPreparedFolders {
    int first;
    int count;
};

// Creates the folders of relativeFile's path below destination that are missing, top down; every
// level that exists must be a real folder. made tells which levels were made, also on failure.
bool PrepareFolders(const wchar_t* destination, const wchar_t* relativeFile, CPreparedFolders& made);
// Removes the levels that PrepareFolders made again, innermost first.
void RemovePreparedFolders(const wchar_t* destination, const wchar_t* relativeFile,
                           const CPreparedFolders& made);

// Staged files wait in numbered subfolders of the staging folder, this many entries to each: under
// Wine every new name costs a scan of its whole folder, and an update of thousands of files would
// pay it thousands of times over in one flat folder.
const DWORD kStagedPerFolder = 128;

// The subfolder of the staging folder where entry number index and the file it replaces wait.
bool ComposeStagedFolder(const wchar_t* staging, DWORD index, wchar_t (&folder)[MAX_PATH]);
// Where entry number index waits in the staging folder, and where the file it replaces waits.
bool ComposeStagedPaths(const wchar_t* staging, DWORD index, wchar_t (&staged)[MAX_PATH],
                        wchar_t (&old)[MAX_PATH]);

// The identity of an open file: its index on its volume, which a rename keeps.
bool ReadFileIdentity(HANDLE file, ULONGLONG& id);

// Checks the installed file at target before anything moves: false when it is no file, is known by
// another name (a hard link, or the entry gave its 8.3 alias) or stays held past the bound. exists
// and id tell what is there.
bool InspectTarget(const wchar_t* target, CSharingDeadline& deadline, bool& exists, ULONGLONG& id);

// Moves the installed file the journal entry found at target to oldPath, then stagedPath to target.
// False when target holds another file than the one recorded, or the new file would replace one.
bool PlaceFile(const wchar_t* stagedPath, const wchar_t* target, const wchar_t* oldPath,
               const CJournalEntry& entry, CSharingDeadline& deadline);
// Undoes PlaceFile as far as it went, each file known by its identity: the placed file goes back to
// stagedPath (a rename works while another process holds it with delete sharing, and frees the name
// at once), then the installed one back to target. True when target holds the installed file again,
// or no file of this update when there was none.
bool RestoreFile(const wchar_t* stagedPath, const wchar_t* target, const wchar_t* oldPath,
                 const CJournalEntry& entry, CSharingDeadline& deadline);
// Restores every entry of the journal, newest first, within one bound; true when all went back.
bool RollBackPlacement(const wchar_t* destination, const wchar_t* staging, const CUpdateJournal& journal);
