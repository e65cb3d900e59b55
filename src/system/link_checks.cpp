#include "system/link_checks.h"

bool IsRealFolder(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool IsRealFolder(const char* ansiPath) {
    wchar_t path[MAX_PATH] = {};
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansiPath, -1, path, MAX_PATH) > 0 &&
           IsRealFolder(path);
}

bool HasSingleLink(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information = {};
    return GetFileInformationByHandle(file, &information) && information.nNumberOfLinks == 1;
}
