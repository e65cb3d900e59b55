// The journal of one update, kept in its staging folder. Written once and flushed before the first
// installed file moves, it says for each file entry where it goes and which files move: the one
// kept aside and the one placed, each by its file identity (a rename keeps it). A commit mark is
// set once every file is in place. A run that ended in between is finished by the next one: rolled
// back without the mark, completed with it.
#pragma once

#include <windows.h>

#include "system/scoped_handles.h"

// One file entry. index names its files in the staging folder: "index" is the new file until it is
// placed, "index.old" the installed file once kept aside.
struct CJournalEntry {
    DWORD index;
    bool hasOld;               // an installed file was found at the target
    ULONGLONG oldId;           // the installed file's identity
    ULONGLONG newId;           // the new file's identity
    wchar_t target[MAX_PATH];  // relative to the destination
};

class CUpdateJournal {
public:
    CUpdateJournal() : m_dwSize(0), m_dwCapacity(0), m_dwCount(0), m_dwRoom(0) {}
    CUpdateJournal(const CUpdateJournal&) = delete;
    CUpdateJournal& operator=(const CUpdateJournal&) = delete;

    // Starts an empty journal of the named package (the archive's file name), for at most count entries.
    bool Begin(const wchar_t* packageName, DWORD count);
    bool Add(const CJournalEntry& entry);
    // Writes the journal as a new file in the staging folder and flushes it.
    bool Write(const wchar_t* staging);
    // Sets the commit mark in the journal written, and flushes it.
    bool MarkCommitted();

    // Reads the journal of a staging folder; false when there is none or it is not whole.
    bool Load(const wchar_t* staging);

    DWORD Count() const { return m_dwCount; }
    // The entries in the order they were added.
    bool Entry(DWORD position, CJournalEntry& entry) const;
    bool IsCommitted() const;
    // The package's name, copied into name; empty when it does not fit.
    void PackageName(wchar_t (&name)[MAX_PATH]) const;

    // The journal's path in a staging folder.
    static bool ComposeJournalPath(const wchar_t* staging, wchar_t (&path)[MAX_PATH]);

private:
    bool Reserve(DWORD bytes);

    CScopedHeapBlock m_pBytes;    // the journal as written
    CScopedHeapBlock m_pOffsets;  // where each entry starts
    DWORD m_dwSize;
    DWORD m_dwCapacity;
    DWORD m_dwCount;
    DWORD m_dwRoom;  // entries that fit in m_pOffsets
    wchar_t m_szPath[MAX_PATH] = {};
};
