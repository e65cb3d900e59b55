#include "unzip/package_placement.h"

namespace {

// Removes the folders made for the journal's files, innermost first.
void RemoveMadeFolders(const wchar_t* destination, const CUpdateJournal& journal,
                       const CPreparedFolders* folders) {
    for (DWORD position = journal.Count(); position-- > 0;) {
        CJournalEntry entry;
        if (journal.Entry(position, entry)) {
            RemovePreparedFolders(destination, entry.target, folders[entry.index]);
        }
    }
}

// Undoes the placement of the journal's files; the staging folder stays when something could not go
// back.
void RollBack(const wchar_t* destination, CStagingFolder& staging, const CUpdateJournal& journal,
              const CPreparedFolders* folders) {
    if (!RollBackPlacement(destination, staging.Path(), journal)) {
        staging.Keep();  // for the next run to finish
        return;
    }
    RemoveMadeFolders(destination, journal, folders);
}

}  // namespace

bool PlanPlacement(const wchar_t* destination, const CUpdateJournal& staged, CPreparedFolders* folders,
                   CUpdateJournal& journal, CSharingDeadline& deadline) {
    for (DWORD position = 0; position < staged.Count(); ++position) {
        CJournalEntry entry;
        wchar_t target[MAX_PATH] = {};
        if (!staged.Entry(position, entry) || !ComposePath(destination, entry.target, target) ||
            !PrepareFolders(destination, entry.target, folders[entry.index]) ||
            !InspectTarget(target, deadline, entry.hasOld, entry.oldId) || !journal.Add(entry)) {
            RemovePreparedFolders(destination, entry.target, folders[entry.index]);
            RemoveMadeFolders(destination, journal, folders);
            return false;
        }
    }
    return true;
}

bool PlacePackage(const wchar_t* destination, CStagingFolder& staging, CUpdateJournal& journal,
                  const CPreparedFolders* folders, CSharingDeadline& deadline) {
    if (!journal.Write(staging.Path())) {
        RemoveMadeFolders(destination, journal, folders);
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
            RollBack(destination, staging, journal, folders);
            return false;
        }
    }
    if (!journal.MarkCommitted()) {
        RollBack(destination, staging, journal, folders);
        return false;
    }
    staging.Keep();  // the replaced files stay aside until the version is recorded
    return true;
}
