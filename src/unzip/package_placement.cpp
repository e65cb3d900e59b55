#include "unzip/package_placement.h"

namespace {

// Undoes the placement of the journal's files; the staging folder stays when something could not go
// back.
void RollBack(const wchar_t* destination, CStagingFolder& staging, const CUpdateJournal& journal,
              const CStagedEntry* entries) {
    if (!RollBackPlacement(destination, staging.Path(), journal)) {
        staging.Keep();  // for the next run to finish
        return;
    }
    RemoveMadeFolders(destination, journal, entries);
}

}  // namespace

bool PlacePackage(const wchar_t* destination, CStagingFolder& staging, CUpdateJournal& journal,
                  const CStagedEntry* entries, CSharingDeadline& deadline) {
    if (!journal.Write(staging.Path())) {
        RemoveMadeFolders(destination, journal, entries);
        return false;
    }
    // From the first move on, the journal tells the next run what to undo should this one end.
    for (DWORD position = 0; position < journal.Count(); ++position) {
        CJournalEntry entry;
        wchar_t target[MAX_PATH] = {};
        wchar_t staged[MAX_PATH] = {};
        wchar_t old[MAX_PATH] = {};
        if (!journal.Entry(position, entry) || !ComposePath(destination, entry.target, target) ||
            !ComposeStagedPaths(staging.Path(), entry.index, staged, old) ||
            !PlaceFile(staged, target, old, entry, deadline)) {
            RollBack(destination, staging, journal, entries);
            return false;
        }
    }
    if (!journal.MarkCommitted()) {
        RollBack(destination, staging, journal, entries);
        return false;
    }
    staging.Keep();  // the replaced files stay aside until the version is recorded
    return true;
}

void RemoveMadeFolders(const wchar_t* destination, const CUpdateJournal& journal,
                       const CStagedEntry* entries) {
    for (DWORD position = journal.Count(); position-- > 0;) {
        CJournalEntry entry;
        if (journal.Entry(position, entry)) {
            RemovePreparedFolders(destination, entry.target, entries[entry.index].folders);
        }
    }
}
