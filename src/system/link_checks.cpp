#include "system/link_checks.h"

bool IsRealFolder(const wchar_t* path) {
    return IsRealFolderAttributes(GetFileAttributesW(path));
}

bool IsRealFolderAttributes(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool HoldRealFolder(const wchar_t* folder, DWORD access, CScopedHandle& held) {
    // Opened before the check: once held without FILE_SHARE_DELETE, the folder the check found
    // stays under its name.
    held.Reset(CreateFileW(folder, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (held.IsValid() && IsRealFolder(folder)) {
        return true;
    }
    held.Close();
    return false;
}

bool HoldRealFolder(const char* ansiFolder, CScopedHandle& held) {
    wchar_t folder[MAX_PATH] = {};
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansiFolder, -1, folder, MAX_PATH) > 0) {
        return HoldRealFolder(folder, FILE_LIST_DIRECTORY, held);
    }
    held.Close();
    return false;
}

bool HasSingleLink(HANDLE file) {
    // The standard information alone: GetFileInformationByHandle adds a volume query, under Wine
    // about a millisecond a file.
    FILE_STANDARD_INFO standard = {};
    return GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)) &&
           standard.NumberOfLinks == 1;
}
