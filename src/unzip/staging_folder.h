// The staging folder of one unpack, inside the destination. Every user may write to the shared
// documents folder, so any name there may be a link or a file another user made. The folder is made
// afresh by the run, under a name that has no 8.3 alias, with a DACL that lets no other user in, and
// held open without delete sharing, so that nobody can put a link in its place. A leftover of an
// ended run is trusted only when it is such a folder: its journal is then finished (an update that
// ended while its files were put in place is rolled back, one whose files were all in place is
// completed). Anything else is cleared, never through a link: a name that is a link, or holds one,
// stays as it is, and the next staging name is used.
#pragma once

#include <windows.h>

#include "system/scoped_handles.h"

// True when the entry's first component names a staging folder of this or an earlier version, once
// "." and empty components are dropped and trailing dots and blanks trimmed as the platform trims.
bool IsStagingName(const wchar_t* entryName);

class CStagingFolder {
public:
    CStagingFolder() = default;
    ~CStagingFolder() { Remove(); }
    CStagingFolder(const CStagingFolder&) = delete;
    CStagingFolder& operator=(const CStagingFolder&) = delete;

    // Rolls back the updates that ended before their files were all in place, and clears what else
    // it can. packageName gets the name of a package whose files were all in place; its journal and
    // the files it replaced stay until RemoveCommitted. False when a rollback could not finish: its
    // folder and journal stay for the next run.
    static bool RecoverInterrupted(const wchar_t* destination, wchar_t (&packageName)[MAX_PATH]);
    // Deletes the journal, then the replaced files, of updates whose files are all in place. What
    // cannot be deleted now stays, and the next update clears it.
    static void RemoveCommitted(const wchar_t* destination);

    // Finishes every leftover as RecoverInterrupted does, deleting what committed updates kept, and
    // makes the folder under the first free name; false when a leftover cannot be finished or no
    // name is free.
    bool Create(const wchar_t* destination);
    const wchar_t* Path() const { return m_szPath; }
    // Leaves the folder as it is, for its journal to be finished or completed later.
    void Keep();
    // Removes the folder with what is in it, by the same rules as a leftover.
    void Remove();

private:
    wchar_t m_szPath[MAX_PATH] = {};
    CScopedHandle m_hFolder;
};
