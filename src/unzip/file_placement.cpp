#include "unzip/file_placement.h"

#include <cwchar>

#include "system/link_checks.h"
#include "system/scoped_handles.h"

namespace {

const DWORD kRetryPauseMs = 100;

bool Exists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool Move(const wchar_t* from, const wchar_t* to, DWORD flags, CSharingDeadline& deadline) {
    while (!MoveFileExW(from, to, flags)) {
        if (!deadline.PauseToRetry()) {
            return false;
        }
    }
    return true;
}

// An installed file may be replaced when it is a file with a single name.
bool IsReplaceable(const wchar_t* target, CSharingDeadline& deadline) {
    const DWORD attributes = GetFileAttributesW(target);
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return false;
    }
    CScopedHandle file;
    while (!file.IsValid()) {
        file.Reset(CreateFileW(target, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.IsValid() && !deadline.PauseToRetry()) {
            return false;
        }
    }
    return HasSingleLink(file.Get());
}

// False when the existing file at path has another long name than path's last component: the 8.3
// alias of a file that an earlier entry may have placed (VXCOUR~1.EXE for vxcourier.exe).
bool IsNamedAsWritten(const wchar_t* path) {
    wchar_t longPath[MAX_PATH] = {};
    const DWORD length = GetLongPathNameW(path, longPath, MAX_PATH);
    const wchar_t* written = wcsrchr(path, L'\\');
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
        const bool exists = Exists(path);
        const bool ready = exists ? IsRealFolder(path) : CreateDirectoryW(path, nullptr) != FALSE;
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

bool PlaceFile(const wchar_t* stagedPath, const wchar_t* target, const wchar_t* oldPath,
               CSharingDeadline& deadline) {
    if (Exists(target) && (!IsNamedAsWritten(target) || !IsReplaceable(target, deadline) ||
                           !Move(target, oldPath, 0, deadline))) {
        return false;
    }
    return Move(stagedPath, target, 0, deadline);
}

bool RestoreFile(const wchar_t* stagedPath, const wchar_t* target, const wchar_t* oldPath,
                 CSharingDeadline& deadline) {
    if (!Exists(stagedPath) && Exists(target)) {
        SetFileAttributesW(target, FILE_ATTRIBUTE_NORMAL);
        while (!DeleteFileW(target)) {
            if (!deadline.PauseToRetry()) {
                return false;
            }
        }
    }
    return !Exists(oldPath) || Move(oldPath, target, 0, deadline);
}
