// The floor under a staged, all-or-nothing unpack: a bare loop making only the calls such an unpack
// must make. Every file is written into a staging folder with its time set (the folders it needs
// made on the way), in subfolders of 128 files as the unpacker stages them; only then is each installed file
// renamed aside and the new one renamed into its place; then the files renamed aside are deleted. No name
// checks, no journal, no identities. Prints what vxunzip_bench prints, for bench/unzip/run_bench.py.
#include <windows.h>

#include <cwchar>

#include "measured_unpack.h"
#include "system/scoped_handles.h"
#include "unzip.h"

namespace {

// path is a writable copy; each missing level is cut off in place and restored on the way back.
bool EnsureFolder(wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    wchar_t* lastSeparator = wcsrchr(path, L'\\');
    if (lastSeparator == nullptr) {
        return true;
    }
    *lastSeparator = L'\0';
    const bool parentExists = EnsureFolder(path);
    *lastSeparator = L'\\';
    return parentExists &&
           (CreateDirectoryW(path, nullptr) || GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES);
}

const DWORD kStagedPerFolder = 128;

void StagedPath(const wchar_t* staging, DWORD index, const wchar_t* suffix, wchar_t (&path)[MAX_PATH]) {
    _snwprintf(path, MAX_PATH - 1, L"%ls\\%lu\\%lu%ls", staging,
               static_cast<unsigned long>(index / kStagedPerFolder), static_cast<unsigned long>(index),
               suffix);
}

// Writes the current entry to staging\index; target gets where it goes, empty for a folder entry.
bool StageEntry(unzFile archive, const wchar_t* destination, const wchar_t* staging, DWORD index,
                wchar_t (&target)[MAX_PATH]) {
    unz_file_info entry = {};
    char name[MAX_PATH] = {};
    wchar_t wideName[MAX_PATH] = {};
    if (unzGetCurrentFileInfo(archive, &entry, name, sizeof(name) - 1, nullptr, 0, nullptr, 0) != UNZ_OK ||
        MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, MAX_PATH) <= 0) {
        return false;
    }
    wchar_t staged[MAX_PATH] = {};
    StagedPath(staging, index, L"", staged);
    if (index % kStagedPerFolder == 0) {
        wchar_t* name = wcsrchr(staged, L'\\');
        *name = L'\0';
        CreateDirectoryW(staged, nullptr);
        *name = L'\\';
    }
    for (wchar_t* c = wideName; *c != L'\0'; ++c) {
        *c = *c == L'/' ? L'\\' : *c;
    }
    const size_t nameLength = wcslen(wideName);
    if (nameLength > 0 && wideName[nameLength - 1] == L'\\') {
        return true;  // a folder entry creates nothing
    }
    _snwprintf(target, MAX_PATH - 1, L"%ls\\%ls", destination, wideName);
    wchar_t* lastSeparator = wcsrchr(target, L'\\');
    *lastSeparator = L'\0';
    const bool folderExists = EnsureFolder(target);
    *lastSeparator = L'\\';
    CScopedHandle file(CreateFileW(staged, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!folderExists || !file.IsValid() || unzOpenCurrentFile(archive) != UNZ_OK) {
        return false;
    }
    char buffer[2048] = {};
    int count = 0;
    while ((count = unzReadCurrentFile(archive, buffer, sizeof(buffer))) > 0) {
        DWORD written = 0;
        if (!WriteFile(file.Get(), buffer, static_cast<DWORD>(count), &written, nullptr)) {
            unzCloseCurrentFile(archive);
            return false;
        }
    }
    FILETIME local = {};
    FILETIME entryTime = {};
    if (unzCloseCurrentFile(archive) != UNZ_OK || count < 0 ||
        !DosDateTimeToFileTime(HIWORD(entry.dosDate), LOWORD(entry.dosDate), &local) ||
        !LocalFileTimeToFileTime(&local, &entryTime)) {
        return false;
    }
    return SetFileTime(file.Get(), &entryTime, nullptr, &entryTime) != FALSE;
}

bool ExtractAll(const char* archivePath, const char* destFolder) {
    wchar_t destination[MAX_PATH] = {};
    wchar_t staging[MAX_PATH] = {};
    if (MultiByteToWideChar(CP_ACP, 0, destFolder, -1, destination, MAX_PATH) <= 0 ||
        !EnsureFolder(destination)) {
        return false;
    }
    _snwprintf(staging, MAX_PATH - 1, L"%ls\\~floor", destination);
    unzFile archive = unzOpen(archivePath);
    unz_global_info global = {};
    if (archive == nullptr || unzGetGlobalInfo(archive, &global) != UNZ_OK ||
        !CreateDirectoryW(staging, nullptr)) {
        unzClose(archive);
        return false;
    }
    CScopedHeapBlock targets(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, global.number_entry * MAX_PATH * 2));
    wchar_t(*target)[MAX_PATH] = static_cast<wchar_t(*)[MAX_PATH]>(targets.Get());
    DWORD count = 0;
    int result = target == nullptr ? UNZ_INTERNALERROR : unzGoToFirstFile(archive);
    while (result == UNZ_OK && count < global.number_entry &&
           StageEntry(archive, destination, staging, count, target[count])) {
        ++count;
        result = unzGoToNextFile(archive);
    }
    unzClose(archive);
    if (result != UNZ_END_OF_LIST_OF_FILE) {
        return false;
    }
    for (DWORD index = 0; index < count; ++index) {
        wchar_t staged[MAX_PATH] = {};
        wchar_t old[MAX_PATH] = {};
        StagedPath(staging, index, L"", staged);
        StagedPath(staging, index, L".old", old);
        // Nothing to rename aside is no failure: the file is new.
        if (target[index][0] != L'\0' &&
            ((!MoveFileExW(target[index], old, 0) && GetLastError() != ERROR_FILE_NOT_FOUND) ||
             !MoveFileExW(staged, target[index], 0))) {
            return false;
        }
    }
    for (DWORD index = 0; index < count; ++index) {
        wchar_t old[MAX_PATH] = {};
        StagedPath(staging, index, L".old", old);
        DeleteFileW(old);
        if ((index + 1) % kStagedPerFolder == 0 || index + 1 == count) {
            *wcsrchr(old, L'\\') = L'\0';
            RemoveDirectoryW(old);
        }
    }
    return RemoveDirectoryW(staging) != FALSE;
}

}  // namespace

int main(int argc, char** argv) {
    return RunMeasuredUnpack(argc, argv, "vxunzip_floor", &ExtractAll);
}
