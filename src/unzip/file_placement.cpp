#include "unzip/file_placement.h"

#include <winternl.h>

#include <cwchar>

#include "system/link_checks.h"
#include "system/scoped_handles.h"

namespace {

const DWORD kRetryPauseMs = 100;

// Opens path, a file or a folder, itself if it is a link, with access (for the attributes only, no
// sharing refuses it; with DELETE, a holder without delete sharing does), retrying within the bound;
// a pending deletion refuses any. found is false, and the result true, when nothing is there.
bool OpenAt(const wchar_t* path, DWORD access, CSharingDeadline& deadline, CScopedHandle& file, bool& found) {
    found = false;
    for (;;) {
        file.Reset(CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                               nullptr));
        if (file.IsValid()) {
            found = true;
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return true;
        }
        if (!deadline.PauseToRetry()) {
            return false;
        }
    }
}

// Renames the open file to the path to, which must be free. The new name goes as an NT path (the
// full path behind "\??\"), the form the native call takes on every version.
bool RenameOpenFile(HANDLE file, const wchar_t* to) {
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(to, MAX_PATH, full, nullptr);
    const bool unc = full[0] == L'\\' && full[1] == L'\\';
    if (length == 0 || length >= MAX_PATH || (unc && (full[2] == L'?' || full[2] == L'.'))) {
        return false;  // device paths are none of an update's
    }
    alignas(8) BYTE buffer[sizeof(FILE_RENAME_INFO) + (MAX_PATH + 8) * sizeof(wchar_t)] = {};
    FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    const int written = unc ? _snwprintf(rename->FileName, MAX_PATH + 8, L"\\??\\UNC%ls", full + 1)
                            : _snwprintf(rename->FileName, MAX_PATH + 8, L"\\??\\%ls", full);
    rename->ReplaceIfExists = FALSE;
    rename->FileNameLength = static_cast<DWORD>(written) * sizeof(wchar_t);
    return written > 0 && SetFileInformationByHandle(file, FileRenameInfo, rename, sizeof(buffer)) != FALSE;
}

// What MoveIdentified found at the path it was to move a file from.
enum EMoveOutcome { kMoved, kAbsent, kOtherFile, kFailed };

// Moves the file at from to the path to when it is the file with identity id. The identity is read
// on the handle that renames, so nothing put in the file's place after the check can be moved
// instead. seen is the identity of what was there.
EMoveOutcome MoveIdentified(const wchar_t* from, const wchar_t* to, ULONGLONG id, CSharingDeadline& deadline,
                            ULONGLONG& seen) {
    seen = 0;
    CScopedHandle file;
    bool found = false;
    if (!OpenAt(from, DELETE | FILE_READ_ATTRIBUTES, deadline, file, found)) {
        return kFailed;
    }
    if (!found) {
        return kAbsent;
    }
    if (!ReadFileIdentity(file.Get(), seen)) {
        return kFailed;
    }
    if (seen != id) {
        return kOtherFile;
    }
    while (!RenameOpenFile(file.Get(), to)) {
        if (!deadline.PauseToRetry()) {
            return kFailed;
        }
    }
    return kMoved;
}

// False when the existing file at path has another long name than path's last component: the 8.3
// alias of a file that an earlier entry may have placed (VXCOUR~1.EXE for vxcourier.exe).
bool IsNamedAsWritten(const wchar_t* path) {
    // Every alias the file system makes holds a tilde; GetLongPathNameW searches each level.
    const wchar_t* written = wcsrchr(path, L'\\');
    if (written != nullptr && wcschr(written, L'~') == nullptr) {
        return true;
    }
    wchar_t longPath[MAX_PATH] = {};
    const DWORD length = GetLongPathNameW(path, longPath, MAX_PATH);
    const wchar_t* found = wcsrchr(longPath, L'\\');
    return length > 0 && length < MAX_PATH && written != nullptr && found != nullptr &&
           CompareStringOrdinal(written, -1, found, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

bool ComposePath(const wchar_t* folder, const wchar_t* name, wchar_t (&path)[MAX_PATH]) {
    const size_t length = wcslen(folder);
    const wchar_t* separator = (length > 0 && folder[length - 1] == L'\\') ? L"" : L"\\";
    const int written = _snwprintf(path, MAX_PATH, L"%ls%ls%ls", folder, separator, name);
    return written > 0 && written < MAX_PATH;
}

bool CSharingDeadline::PauseToRetry() {
    // A file whose deletion is pending (its owner deleted it while a scanner still holds it) answers
    // access denied, to an open and to a new file under its name, until the last handle closes.
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        m_dwWaited >= m_dwLength) {
        return false;
    }
    Sleep(kRetryPauseMs);
    m_dwWaited += kRetryPauseMs;
    return true;
}

bool PrepareFolders(const wchar_t* destination, const wchar_t* relativeFile, CPreparedFolders& made) {
    made.first = 0;
    made.count = 0;
    wchar_t path[MAX_PATH] = {};
    if (!ComposePath(destination, relativeFile, path)) {
        return false;
    }
    // Each separator after the destination ends one level of the file's folder path.
    for (wchar_t* c = path + (wcslen(path) - wcslen(relativeFile)); *c != L'\0'; ++c) {
        if (*c != L'\\') {
            continue;
        }
        *c = L'\0';
        // One attribute query tells both whether the level exists and whether it is a real folder.
        const DWORD attributes = GetFileAttributesW(path);
        const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
        const bool ready =
            exists ? IsRealFolderAttributes(attributes) : CreateDirectoryW(path, nullptr) != FALSE;
        *c = L'\\';
        if (!ready) {
            return false;
        }
        if (exists) {
            ++made.first;
        } else {
            ++made.count;
        }
    }
    return true;
}

void RemovePreparedFolders(const wchar_t* destination, const wchar_t* relativeFile,
                           const CPreparedFolders& made) {
    wchar_t path[MAX_PATH] = {};
    if (made.count == 0 || !ComposePath(destination, relativeFile, path)) {
        return;
    }
    // Cut the path after the innermost level made, then take one level off at a time.
    wchar_t* end = path + (wcslen(path) - wcslen(relativeFile));
    for (int level = 0; level < made.first + made.count; ++end) {
        if (*end == L'\0') {
            return;
        }
        level += *end == L'\\' ? 1 : 0;
    }
    end[-1] = L'\0';
    for (int level = 0; level < made.count; ++level) {
        RemoveDirectoryW(path);
        wchar_t* lastSeparator = wcsrchr(path, L'\\');
        if (lastSeparator == nullptr) {
            return;
        }
        *lastSeparator = L'\0';
    }
}

bool ComposeStagedFolder(const wchar_t* staging, DWORD index, wchar_t (&folder)[MAX_PATH]) {
    wchar_t name[16] = {};
    _snwprintf(name, 15, L"%lu", static_cast<unsigned long>(index / kStagedPerFolder));
    return ComposePath(staging, name, folder);
}

bool ComposeStagedPaths(const wchar_t* staging, DWORD index, wchar_t (&staged)[MAX_PATH],
                        wchar_t (&old)[MAX_PATH]) {
    wchar_t folder[MAX_PATH] = {};
    wchar_t name[16] = {};
    _snwprintf(name, 15, L"%lu", static_cast<unsigned long>(index));
    wchar_t oldName[16] = {};
    _snwprintf(oldName, 15, L"%lu.old", static_cast<unsigned long>(index));
    return ComposeStagedFolder(staging, index, folder) && ComposePath(folder, name, staged) &&
           ComposePath(folder, oldName, old);
}

bool ReadFileIdentity(HANDLE file, ULONGLONG& id) {
    // The file's index as GetFileInformationByHandle gives it, without the volume query that call
    // adds (under Wine about a millisecond a file). ntdll is in every process from its start: it is
    // looked up, never loaded, and not imported.
    typedef NTSTATUS(NTAPI * QueryInformationFile)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                   FILE_INFORMATION_CLASS);
    const QueryInformationFile query = reinterpret_cast<QueryInformationFile>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
    IO_STATUS_BLOCK status = {};
    LARGE_INTEGER index = {};
    if (query == nullptr || query(file, &status, &index, sizeof(index), FileInternalInformation) != 0) {
        return false;
    }
    id = static_cast<ULONGLONG>(index.QuadPart);
    return true;
}

bool InspectTarget(const wchar_t* target, CSharingDeadline& deadline, bool& exists, ULONGLONG& id) {
    id = 0;
    const DWORD attributes = GetFileAttributesW(target);
    exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists) {
        return true;
    }
    CScopedHandle file;
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
           IsNamedAsWritten(target) && OpenAt(target, FILE_READ_ATTRIBUTES, deadline, file, exists) &&
           exists && HasSingleLink(file.Get()) && ReadFileIdentity(file.Get(), id);
}

bool PlaceFile(const wchar_t* stagedPath, const wchar_t* target, const wchar_t* oldPath,
               const CJournalEntry& entry, CSharingDeadline& deadline) {
    ULONGLONG seen = 0;
    return (!entry.hasOld || MoveIdentified(target, oldPath, entry.oldId, deadline, seen) == kMoved) &&
           MoveIdentified(stagedPath, target, entry.newId, deadline, seen) == kMoved;
}

bool RestoreFile(const wchar_t* stagedPath, const wchar_t* target, const wchar_t* oldPath,
                 const CJournalEntry& entry, CSharingDeadline& deadline) {
    ULONGLONG seen = 0;
    const EMoveOutcome placed = MoveIdentified(target, stagedPath, entry.newId, deadline, seen);
    if (placed == kFailed) {
        return false;
    }
    if (!entry.hasOld) {
        return true;
    }
    if (placed == kOtherFile) {
        return seen == entry.oldId;  // never moved, or moved back before
    }
    return MoveIdentified(oldPath, target, entry.oldId, deadline, seen) == kMoved;
}

bool RollBackPlacement(const wchar_t* destination, const wchar_t* staging, const CUpdateJournal& journal) {
    CSharingDeadline deadline(kSharingBoundMs);
    bool restored = true;
    for (DWORD position = journal.Count(); position-- > 0;) {
        CJournalEntry entry;
        wchar_t target[MAX_PATH] = {};
        wchar_t staged[MAX_PATH] = {};
        wchar_t old[MAX_PATH] = {};
        restored = journal.Entry(position, entry) && ComposePath(destination, entry.target, target) &&
                   ComposeStagedPaths(staging, entry.index, staged, old) &&
                   RestoreFile(staged, target, old, entry, deadline) && restored;
    }
    return restored;
}
