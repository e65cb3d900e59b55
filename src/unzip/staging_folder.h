// The staging folder of one unpack, inside the destination. Every user may write to the shared
// documents folder, so any name there may be a link or a file another user made. The folder is made
// afresh by the run, under a name that has no 8.3 alias, and held open without delete sharing until
// it is removed, so that nobody can put a link in its place. Leftovers of ended runs under any
// staging name are cleared first, never through a link: a name that is a link, or holds one, stays
// as it is, and the next staging name is used.
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

    // Clears the leftovers it can and makes the folder under the first free name; false when none is.
    bool Create(const wchar_t* destination);
    const wchar_t* Path() const { return m_szPath; }
    // Removes the folder with what is in it, by the same rules as a leftover.
    void Remove();

private:
    wchar_t m_szPath[MAX_PATH] = {};
    CScopedHandle m_hFolder;
};
