#include "app/working_folder.h"

#include <cstdio>
#include <cstring>

#include "system/link_checks.h"

namespace {
const char kSection[] = "server";

// The profile calls give no handle to flush. info.dat is opened again as the name itself, never
// what a link makes of it, and flushed only when it is a file with a single name.
bool FlushSettingsFile(const char* settingsPath) {
    CScopedHandle file(CreateFileA(settingsPath, GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    return file.IsValid() &&
           GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &tag, sizeof(tag)) &&
           (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
           HasSingleLink(file.Get()) && FlushFileBuffers(file.Get()) != FALSE;
}
}  // namespace

bool AppendBounded(char* buffer, size_t capacity, const char* text) {
    const size_t used = strnlen(buffer, capacity);
    const size_t added = strlen(text);
    if (used >= capacity || added >= capacity - used) {
        return false;
    }
    memcpy(buffer + used, text, added + 1);
    return true;
}

bool BuildProductFolder(const char* sharedDocuments, char (&folder)[MAX_PATH]) {
    memset(folder, 0, sizeof(folder));
    return AppendBounded(folder, sizeof(folder), sharedDocuments) &&
           AppendBounded(folder, sizeof(folder), "\\Vantorix");
}

bool BuildWorkingFolder(int serverChoice, char (&folder)[MAX_PATH], char (&settingsPath)[MAX_PATH]) {
    memset(settingsPath, 0, sizeof(settingsPath));
    const char* leaf = serverChoice == kPrimaryServer ? "\\Customer" : "\\Customer_Backup";
    if (!AppendBounded(folder, sizeof(folder), leaf)) {
        return false;
    }
    const int length = snprintf(settingsPath, sizeof(settingsPath), "%s\\info.dat", folder);
    return length > 0 && static_cast<size_t>(length) < sizeof(settingsPath);
}

bool EnterFolder(const char* folder, CScopedHandle& held) {
    CreateDirectoryA(folder, nullptr);  // an existing folder is no error
    return HoldRealFolder(folder, held) && SetCurrentDirectoryA(folder) != FALSE;
}

bool IsSettingsFileSingle(const char* settingsPath) {
    CScopedHandle file(CreateFileA(settingsPath, FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;  // the first write creates it
    }
    return HasSingleLink(file.Get());
}

void ReadInstalledVersion(const char* settingsPath, char (&version)[10]) {
    memset(version, 0, sizeof(version));
    GetPrivateProfileStringA(kSection, "version", "", version, sizeof(version), settingsPath);
}

bool RecordAccessCode(const char* settingsPath, int accessCode) {
    char codeText[10] = {};
    snprintf(codeText, sizeof(codeText), "%d", accessCode);
    const bool written = WritePrivateProfileStringA(kSection, "code_str", codeText, settingsPath) &&
                         WritePrivateProfileStringA(kSection, "restarted", "1", settingsPath);
    return written && FlushSettingsFile(settingsPath);
}

bool RecordInstalledVersion(const char* settingsPath, const char* version) {
    return WritePrivateProfileStringA(kSection, "version", version, settingsPath) &&
           FlushSettingsFile(settingsPath);
}
