// The floor under the unpacker: a bare loop over the archive making only the calls the unpacker made
// for each entry before it staged its files (the folder attribute queries, level by level where a
// folder is missing; the target created; 2 KB reads and writes; close; reopen and set the times).
// No name checks, no staging. Prints what vxunzip_bench prints, for bench/unzip/run_bench.py.
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

void SetEntryTime(const wchar_t* target, DWORD dosDateTime) {
    CScopedHandle file(
        CreateFileW(target, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME creation = {};
    FILETIME lastAccess = {};
    FILETIME lastWrite = {};
    FILETIME local = {};
    FILETIME entryTime = {};
    if (file.IsValid() && GetFileTime(file.Get(), &creation, &lastAccess, &lastWrite) &&
        DosDateTimeToFileTime(HIWORD(dosDateTime), LOWORD(dosDateTime), &local) &&
        LocalFileTimeToFileTime(&local, &entryTime)) {
        SetFileTime(file.Get(), &entryTime, &lastAccess, &entryTime);
    }
}

bool ExtractEntry(unzFile archive, const wchar_t* destination) {
    wchar_t folder[MAX_PATH] = {};
    wcsncpy(folder, destination, MAX_PATH - 1);
    if (!EnsureFolder(folder)) {
        return false;
    }
    unz_file_info entry = {};
    char name[MAX_PATH] = {};
    if (unzGetCurrentFileInfo(archive, &entry, name, sizeof(name) - 1, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return false;
    }
    wchar_t wideName[MAX_PATH] = {};
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, MAX_PATH) <= 0) {
        return false;
    }
    for (wchar_t* c = wideName; *c != L'\0'; ++c) {
        if (*c == L'/') {
            *c = L'\\';
        }
    }
    const size_t nameLength = wcslen(wideName);
    if (nameLength > 0 && wideName[nameLength - 1] == L'\\') {
        return true;  // a folder entry creates nothing
    }
    wchar_t target[MAX_PATH] = {};
    _snwprintf(target, MAX_PATH - 1, L"%ls\\%ls", destination, wideName);
    wchar_t* lastSeparator = wcsrchr(target, L'\\');
    *lastSeparator = L'\0';
    const bool folderExists = EnsureFolder(target);
    *lastSeparator = L'\\';
    if (!folderExists) {
        return false;
    }
    CScopedHandle file(
        CreateFileW(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid() || unzOpenCurrentFile(archive) != UNZ_OK) {
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
    file.Close();
    if (unzCloseCurrentFile(archive) != UNZ_OK || count < 0) {
        return false;
    }
    SetEntryTime(target, entry.dosDate);
    return true;
}

bool ExtractAll(const char* archivePath, const char* destFolder) {
    wchar_t destination[MAX_PATH] = {};
    if (MultiByteToWideChar(CP_ACP, 0, destFolder, -1, destination, MAX_PATH) <= 0 ||
        !EnsureFolder(destination)) {
        return false;
    }
    unzFile archive = unzOpen(archivePath);
    if (archive == nullptr) {
        return false;
    }
    int result = unzGoToFirstFile(archive);
    while (result == UNZ_OK && ExtractEntry(archive, destination)) {
        result = unzGoToNextFile(archive);
    }
    unzClose(archive);
    return result == UNZ_END_OF_LIST_OF_FILE;
}

}  // namespace

int main(int argc, char** argv) {
    return RunMeasuredUnpack(argc, argv, "vxunzip_floor", &ExtractAll);
}
