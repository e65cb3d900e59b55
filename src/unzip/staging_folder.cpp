#include "unzip/staging_folder.h"

#include <cwchar>

#include "system/link_checks.h"
#include "system/folder_security.h"
#include "unzip/entry_name_rules.h"
#include "unzip/file_placement.h"
#include "unzip/update_journal.h"

namespace {

// None has an 8.3 alias (at most eight characters, no extension, none that needs one), through
// which an entry could reach the folder by another spelling.
const wchar_t* const kStagingNames[] = {L"~vxstage", L"~vxstag1", L"~vxstag2", L"~vxstag3"};
// Left by earlier versions: cleared, never used again.
const wchar_t kOldStagingName[] = L"~vxstaging";

bool IsAnyStagingName(const wchar_t* name, size_t length) {
    if (length == wcslen(kOldStagingName) && _wcsnicmp(name, kOldStagingName, length) == 0) {
        return true;
    }
    for (const wchar_t* staging : kStagingNames) {
        if (length == wcslen(staging) && _wcsnicmp(name, staging, length) == 0) {
            return true;
        }
    }
    return false;
}

const DWORD kDeletableFolder = FILE_LIST_DIRECTORY | DELETE;

// The name goes when the last handle to it closes.
bool DeleteOnClose(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// Held open without delete sharing, then checked by name (under Wine a link shows as one only by
// its name): a file that is a link stays. A read-only file is made writable only when it has no
// other name: deleting this name changes nothing elsewhere, resetting the attributes would.
bool DeleteHeldFile(const wchar_t* path) {
    CScopedHandle file(CreateFileW(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | DELETE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    const DWORD attributes = GetFileAttributesW(path);
    if (!file.IsValid() || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        FILE_BASIC_INFO basic = {};  // times of zero are left as they are
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!HasSingleLink(file.Get()) ||
            !SetFileInformationByHandle(file.Get(), FileBasicInfo, &basic, sizeof(basic))) {
            return false;
        }
    }
    return DeleteOnClose(file.Get());
}

bool DeleteHeldFolder(const wchar_t* folder, HANDLE held);

// folder is held and was checked to be a real folder; its names are read through the held handle
// (a search by name would need the delete sharing it holds back). True when everything in it goes.
bool EmptyHeldFolder(const wchar_t* folder, HANDLE held) {
    bool emptied = true;
    alignas(8) BYTE buffer[8192] = {};
    for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
         GetFileInformationByHandleEx(held, kind, buffer, sizeof(buffer)); kind = FileIdBothDirectoryInfo) {
        for (BYTE* at = buffer;;) {
            const FILE_ID_BOTH_DIR_INFO* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            wchar_t name[MAX_PATH] = {};
            wchar_t path[MAX_PATH] = {};
            const size_t length = entry->FileNameLength / sizeof(wchar_t);
            if (length >= MAX_PATH) {
                emptied = false;
            } else if (wmemcpy(name, entry->FileName, length) &&
                       (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0)) {
                // the folder itself and its parent
            } else if (!ComposePath(folder, name, path)) {
                emptied = false;
            } else if ((entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                CScopedHandle inner;
                emptied = HoldRealFolder(path, kDeletableFolder, inner) &&
                          DeleteHeldFolder(path, inner.Get()) && emptied;
            } else {
                emptied = DeleteHeldFile(path) && emptied;
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
        ZeroMemory(buffer, sizeof(buffer));
    }
    return GetLastError() == ERROR_NO_MORE_FILES && emptied;
}

// folder is held with DELETE access: true when it goes, with all in it, once the handle closes.
bool DeleteHeldFolder(const wchar_t* folder, HANDLE held) {
    return EmptyHeldFolder(folder, held) && DeleteOnClose(held);
}

// True when nothing is left under path: nothing was there, or a real folder was, and all in it went.
bool ClearLeftover(const wchar_t* path) {
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    {
        CScopedHandle held;
        if (!HoldRealFolder(path, kDeletableFolder, held) || !DeleteHeldFolder(path, held.Get())) {
            return false;
        }
    }
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES;
}

// What a leftover under a staging name became.
enum ELeftover { kFree, kTaken, kStuck };

// What is done with a trusted journal: whether the journal of an update whose files were all in
// place is reported (and kept for the caller to record its version) or deleted, and whether one
// whose files were not is rolled back or left for the next update.
enum EFinishing { kReportCommitted, kFinishAll, kRemoveCommittedOnly };

// A journal's targets are names as an archive gives them: each must be one the unpacker accepts.
bool AreTargetsSound(const CUpdateJournal& journal, const wchar_t* destination) {
    for (DWORD position = 0; position < journal.Count(); ++position) {
        CJournalEntry entry;
        wchar_t target[MAX_PATH] = {};
        if (!journal.Entry(position, entry) || entry.target[0] == L'\0' || !IsSafeEntryName(entry.target) ||
            IsStagingName(entry.target) || !ComposePath(destination, entry.target, target)) {
            return false;
        }
    }
    return true;
}

ELeftover FinishLeftover(const wchar_t* destination, const wchar_t* path, EFinishing finishing,
                         wchar_t (&packageName)[MAX_PATH]) {
    {
        // Held without DELETE access while files are moved into it on a rollback.
        CScopedHandle held;
        CUpdateJournal journal;
        const bool trusted = HoldRealFolder(path, FILE_LIST_DIRECTORY | READ_CONTROL, held) &&
                             IsProtectedAsMade(held.Get()) && journal.Load(path) &&
                             AreTargetsSound(journal, destination);
        wchar_t journalPath[MAX_PATH] = {};
        if (trusted && journal.IsCommitted()) {
            if (finishing == kReportCommitted) {
                journal.PackageName(packageName);
                return kTaken;
            }
            // The journal goes first, so that a committed update is reported once only, then the
            // files it replaced.
            if (!CUpdateJournal::ComposeJournalPath(path, journalPath) || !DeleteHeldFile(journalPath)) {
                return kStuck;
            }
        } else if (finishing == kRemoveCommittedOnly) {
            return kTaken;  // left for the next update, before which the product is stopped
        } else if (trusted && !RollBackPlacement(destination, path, journal)) {
            return kStuck;
        }
    }
    return ClearLeftover(path) ? kFree : kTaken;
}

// Finishes the leftover under each staging name; false when one is stuck. free, when given, tells
// which names can be used.
bool FinishLeftovers(const wchar_t* destination, EFinishing finishing, wchar_t (&packageName)[MAX_PATH],
                     bool* free) {
    wchar_t old[MAX_PATH] = {};
    if (ComposePath(destination, kOldStagingName, old)) {
        ClearLeftover(old);  // earlier versions kept no journal
    }
    bool finished = true;
    for (size_t name = 0; name < sizeof(kStagingNames) / sizeof(kStagingNames[0]); ++name) {
        wchar_t path[MAX_PATH] = {};
        const ELeftover left = ComposePath(destination, kStagingNames[name], path)
                                   ? FinishLeftover(destination, path, finishing, packageName)
                                   : kTaken;
        finished = finished && left != kStuck;
        if (free != nullptr) {
            free[name] = left == kFree;
        }
    }
    return finished;
}

}  // namespace

bool IsStagingName(const wchar_t* entryName) {
    for (const wchar_t* component = entryName;; ++component) {
        const size_t length = wcscspn(component, L"\\/");
        size_t trimmed = length;
        while (trimmed > 0 && (component[trimmed - 1] == L'.' || component[trimmed - 1] == L' ')) {
            --trimmed;
        }
        if (trimmed > 0) {
            return IsAnyStagingName(component, trimmed);
        }
        component += length;
        if (*component == L'\0') {
            return false;
        }
    }
}

bool CStagingFolder::RecoverInterrupted(const wchar_t* destination, wchar_t (&packageName)[MAX_PATH]) {
    ZeroMemory(packageName, sizeof(packageName));
    return FinishLeftovers(destination, kReportCommitted, packageName, nullptr);
}

void CStagingFolder::RemoveCommitted(const wchar_t* destination) {
    wchar_t unused[MAX_PATH] = {};
    FinishLeftovers(destination, kRemoveCommittedOnly, unused, nullptr);
}

bool CStagingFolder::Create(const wchar_t* destination) {
    Remove();
    wchar_t unused[MAX_PATH] = {};
    bool free[sizeof(kStagingNames) / sizeof(kStagingNames[0])] = {};
    if (!FinishLeftovers(destination, kFinishAll, unused, free)) {
        return false;  // the product is not as any one update left it: nothing goes over it
    }
    for (size_t name = 0; name < sizeof(kStagingNames) / sizeof(kStagingNames[0]); ++name) {
        wchar_t path[MAX_PATH] = {};
        if (!free[name] || !ComposePath(destination, kStagingNames[name], path) ||
            !CreateProtectedFolder(path)) {
            continue;
        }
        // Held without DELETE access, so that files can be moved into it.
        if (HoldRealFolder(path, FILE_LIST_DIRECTORY, m_hFolder)) {
            wcscpy(m_szPath, path);
            return true;
        }
    }
    return false;
}

void CStagingFolder::Keep() {
    m_hFolder.Close();
    m_szPath[0] = L'\0';
}

void CStagingFolder::Remove() {
    // Once empty, the folder is removed by name: on Windows that removes a link put in its place
    // meanwhile, not what the link points to.
    if (m_hFolder.IsValid() && EmptyHeldFolder(m_szPath, m_hFolder.Get())) {
        m_hFolder.Close();
        RemoveDirectoryW(m_szPath);
    }
    m_hFolder.Close();
    m_szPath[0] = L'\0';
}
