#include "unzip/unzipper.h"

#include <cstdio>
#include <cstring>

#include "system/scoped_handles.h"
#include "unzip/entry_name_rules.h"

namespace {

const DWORD kEncryptedFlag = 0x1;
const DWORD kNameCapacity = sizeof(ArchiveEntryInfo::name) - 1;
const DWORD kCommentCapacity = sizeof(ArchiveEntryInfo::comment) - 1;

// The entry's data, open from unzOpenCurrentFile until Close or the end of the scope.
class CCurrentEntryData {
public:
    explicit CCurrentEntryData(unzFile hArchive) : m_hArchive(hArchive) {}
    ~CCurrentEntryData() { Close(); }
    CCurrentEntryData(const CCurrentEntryData&) = delete;
    CCurrentEntryData& operator=(const CCurrentEntryData&) = delete;

    // The library's verdict on the data read: UNZ_CRCERROR when it does not match the CRC-32.
    int Close() {
        if (m_hArchive == nullptr) {
            return UNZ_PARAMERROR;
        }
        const int result = unzCloseCurrentFile(m_hArchive);
        m_hArchive = nullptr;
        return result;
    }

private:
    unzFile m_hArchive;
};

// path is a writable copy; each level is cut off in place and restored on the way back.
bool EnsureFolderInPlace(char* path) {
    if (path[0] == '\0') {
        return false;
    }
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    char* lastSeparator = strrchr(path, '\\');
    if (lastSeparator == nullptr) {
        return true;  // the top of a relative path, or a bare drive, is taken to exist
    }
    *lastSeparator = '\0';
    const bool parentExists = EnsureFolderInPlace(path);
    *lastSeparator = '\\';
    if (!parentExists) {
        return false;
    }
    if (CreateDirectoryA(path, nullptr)) {
        return true;
    }
    // A path ending in a separator names the parent just created; the folder may also have been
    // made by someone else meanwhile. Either way it now exists.
    const DWORD created = GetFileAttributesA(path);
    return created != INVALID_FILE_ATTRIBUTES && (created & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// destFolder, a backslash unless it ends in one, then the name; false when it does not fit.
bool ComposeTarget(const char* destFolder, const char* name, char (&target)[MAX_PATH]) {
    const size_t destLength = strlen(destFolder);
    const char* separator = (destLength > 0 && destFolder[destLength - 1] == '\\') ? "" : "\\";
    const int length = snprintf(target, sizeof(target), "%s%s%s", destFolder, separator, name);
    return length > 0 && static_cast<size_t>(length) < sizeof(target);
}

// Creation and last-write time become the entry's time, taken as local time with the time-zone
// offset in force now; last access is written back as read. Any failure leaves the times alone.
void RestoreFileTime(const char* target, DWORD dosDateTime) {
    CScopedHandle file(
        CreateFileA(target, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.IsValid()) {
        return;
    }
    FILETIME creation = {};
    FILETIME lastAccess = {};
    FILETIME lastWrite = {};
    FILETIME local = {};
    FILETIME entryTime = {};
    if (!GetFileTime(file.Get(), &creation, &lastAccess, &lastWrite) ||
        !DosDateTimeToFileTime(HIWORD(dosDateTime), LOWORD(dosDateTime), &local) ||
        !LocalFileTimeToFileTime(&local, &entryTime)) {
        return;
    }
    SetFileTime(file.Get(), &entryTime, &lastAccess, &entryTime);
}

}  // namespace

CUnzipper::CUnzipper() : m_hArchive(nullptr), m_bEndOfList(false) {}

CUnzipper::~CUnzipper() {
    if (m_hArchive != nullptr) {
        unzCloseCurrentFile(m_hArchive);
        unzClose(m_hArchive);
        m_hArchive = nullptr;
    }
}

bool CUnzipper::ExtractArchive(const char* archivePath, const char* destFolder) {
    CUnzipper unzipper;
    if (archivePath == nullptr) {
        return false;
    }
    unzipper.m_hArchive = unzOpen(archivePath);
    if (unzipper.m_hArchive == nullptr || destFolder == nullptr || !EnsureFolderPath(destFolder)) {
        return false;
    }
    unz_global_info globalInfo = {};
    if (unzGetGlobalInfo(unzipper.m_hArchive, &globalInfo) != UNZ_OK || globalInfo.number_entry == 0) {
        return false;
    }
    if (!unzipper.MoveToFirstEntry()) {
        return false;
    }
    while (unzipper.ExtractCurrentEntry(destFolder)) {
        if (!unzipper.MoveToNextEntry()) {
            return unzipper.IsAtEndOfList();
        }
    }
    return false;
}

bool CUnzipper::ExtractCurrentEntry(const char* destFolder) {
    if (m_hArchive == nullptr || !EnsureFolderPath(destFolder)) {
        return false;
    }
    ArchiveEntryInfo info;
    if (!ReadEntryInfo(info)) {
        return false;
    }
    // Refused before anything is created for it: without a password the library would hand out
    // the ciphertext, and a name that leaves the destination or opens a device must not be used.
    if ((info.generalFlags & kEncryptedFlag) != 0 || !IsSafeEntryName(info.name)) {
        return false;
    }
    if (info.isFolder) {
        return true;
    }

    char target[MAX_PATH] = {};
    if (!ComposeTarget(destFolder, info.name, target)) {
        return false;
    }
    char* lastSeparator = strrchr(target, '\\');
    *lastSeparator = '\0';
    const bool folderExists = EnsureFolderPath(target);
    *lastSeparator = '\\';
    if (!folderExists) {
        return false;
    }

    CScopedHandle file(
        CreateFileA(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return false;
    }
    if (unzOpenCurrentFile(m_hArchive) != UNZ_OK) {
        return false;
    }
    CCurrentEntryData data(m_hArchive);
    char buffer[2048] = {};
    unsigned long long written = 0;
    int count = 0;
    while ((count = unzReadCurrentFile(m_hArchive, buffer, sizeof(buffer))) > 0) {
        DWORD chunkWritten = 0;
        if (!WriteFile(file.Get(), buffer, static_cast<DWORD>(count), &chunkWritten, nullptr) ||
            chunkWritten != static_cast<DWORD>(count)) {
            return false;
        }
        written += chunkWritten;
    }
    file.Close();
    // A stream that ends early reads as a regular end, and the library checks the CRC-32 only
    // once the whole entry has been read: the size tells the first, the close the second.
    const int closeResult = data.Close();
    if (count < 0 || closeResult != UNZ_OK || written != info.uncompressedSize) {
        return false;
    }
    RestoreFileTime(target, info.dosDateTime);
    return true;
}

bool CUnzipper::ReadEntryInfo(ArchiveEntryInfo& info) {
    if (m_hArchive == nullptr) {
        return false;
    }
    memset(&info, 0, sizeof(info));
    unz_file_info entry = {};
    if (unzGetCurrentFileInfo(m_hArchive, &entry, info.name, kNameCapacity, nullptr, 0, info.comment,
                              kCommentCapacity) != UNZ_OK) {
        return false;
    }
    // A name that the buffer would cut, or that a zero byte ends early, is not the stored name.
    if (entry.size_filename > kNameCapacity || strlen(info.name) != entry.size_filename) {
        return false;
    }
    info.versionMadeBy = entry.version;
    info.versionNeeded = entry.version_needed;
    info.generalFlags = entry.flag;
    info.compressionMethod = entry.compression_method;
    info.dosDateTime = entry.dosDate;
    info.crc = entry.crc;
    info.compressedSize = entry.compressed_size;
    info.uncompressedSize = entry.uncompressed_size;
    info.internalAttributes = entry.internal_fa;
    info.externalAttributes = entry.external_fa;
    for (char* c = info.name; *c != '\0'; ++c) {
        if (*c == '/') {
            *c = '\\';
        }
    }
    const size_t nameLength = strlen(info.name);
    info.isFolder = nameLength > 0 && info.name[nameLength - 1] == '\\';
    return true;
}

bool CUnzipper::MoveToFirstEntry() {
    m_bEndOfList = false;
    return m_hArchive != nullptr && unzGoToFirstFile(m_hArchive) == UNZ_OK;
}

bool CUnzipper::MoveToNextEntry() {
    if (m_hArchive == nullptr) {
        return false;
    }
    const int result = unzGoToNextFile(m_hArchive);
    m_bEndOfList = result == UNZ_END_OF_LIST_OF_FILE;
    return result == UNZ_OK;
}

bool CUnzipper::EnsureFolderPath(const char* path) {
    if (path == nullptr) {
        return false;
    }
    char copy[MAX_PATH] = {};
    const size_t length = strnlen(path, sizeof(copy));
    if (length >= sizeof(copy)) {
        return false;
    }
    memcpy(copy, path, length);
    return EnsureFolderInPlace(copy);
}
