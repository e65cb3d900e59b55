#include "system/system_folder.h"

#include <cstring>
#include <cwchar>

bool SystemFolderFile(const char* name, char (&path)[MAX_PATH]) {
    memset(path, 0, sizeof(path));
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + strlen(name) >= MAX_PATH) {
        memset(path, 0, sizeof(path));
        return false;
    }
    path[length] = '\\';
    strcpy(path + length + 1, name);
    return true;
}

bool SystemFolderFile(const wchar_t* name, wchar_t (&path)[MAX_PATH]) {
    wmemset(path, 0, MAX_PATH);
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 1 + wcslen(name) >= MAX_PATH) {
        wmemset(path, 0, MAX_PATH);
        return false;
    }
    path[length] = L'\\';
    wcscpy(path + length + 1, name);
    return true;
}
