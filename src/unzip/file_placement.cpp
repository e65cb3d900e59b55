#include "unzip/file_placement.h"

#include <cwchar>

#include "system/link_checks.h"
#include "system/scoped_handles.h"

namespace {

const DWORD kRetryPauseMs = 100;

bool Exists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool Move(const wchar_t* from, const wchar_t* to, DWORD flags, const CSharingDeadline& deadline) {
    while (!MoveFileExW(from, to, flags)) {
        if (!deadline.PauseToRetry()) {
            return false;
        }
    }
    return true;
}

// An installed file may be replaced when it is a file with a single name.
bool IsReplaceable(const wchar_t* target, const CSharingDeadline& deadline) {
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

}  // namespace

bool ComposePath(const wchar_t* folder, const wchar_t* name, wchar_t (&path)[MAX_PATH]) {
    const size_t length = wcslen(folder);
    const wchar_t* separator = (length > 0 && folder[length - 1] == L'\\') ? L"" : L"\\";
    const int written = _snwprintf(path, MAX_PATH, L"%ls%ls%ls", folder, separator, name);
    return written > 0 && written < MAX_PATH;
}

bool CSharingDeadline::PauseToRetry() const {
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) ||
        GetTickCount() - m_dwStart >= m_dwLength) {
        return false;
    }
    Sleep(kRetryPauseMs);
    return true;
}

bool RemoveFolderTree(const wchar_t* folder) {
    wchar_t pattern[MAX_PATH] = {};
    if (!ComposePath(folder, L"*", pattern)) {
        return false;
    }
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            wchar_t path[MAX_PATH] = {};
            if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0 ||
                !ComposePath(folder, found.cFileName, path)) {
                continue;
            }
            const DWORD attributes = found.dwFileAttributes;
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                RemoveFolderTree(path);
            } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveDirectoryW(path);  // a folder link goes, not what it points to
            } else {
                SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryW(folder) || !Exists(folder);
}

bool PrepareFolders(const wchar_t* destination, const wchar_t* relativeFile, int& created) {
    created = 0;
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
        if (!exists) {
            ++created;
        }
    }
    return true;
}

void RemovePreparedFolders(const wchar_t* destination, const wchar_t* relativeFile, int created) {
    wchar_t path[MAX_PATH] = {};
    if (!ComposePath(destination, relativeFile, path)) {
        return;
    }
    for (int level = 0; level < created; ++level) {
        wchar_t* lastSeparator = wcsrchr(path, L'\\');
        if (lastSeparator == nullptr) {
            return;
        }
        *lastSeparator = L'\0';
        RemoveDirectoryW(path);
    }
}

bool PlaceFile(const wchar_t* stagedPath, const wchar_t* target, const wchar_t* oldPath,
               const CSharingDeadline& deadline) {
    if (Exists(target) && (!IsReplaceable(target, deadline) || !Move(target, oldPath, 0, deadline))) {
        return false;
    }
    return Move(stagedPath, target, 0, deadline);
}

bool RestoreFile(const wchar_t* stagedPath, const wchar_t* target, const wchar_t* oldPath,
                 const CSharingDeadline& deadline) {
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
