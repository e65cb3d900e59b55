#include "unzip/unzipper.h"

#include <cstdio>
#include <cstring>

#include "system/scoped_handles.h"
#include "unzip/entry_name_decoding.h"
#include "unzip/entry_name_rules.h"

namespace {

const DWORD kEncryptedFlag = 0x1;
const DWORD kEmptyDeflateStreamSize = 2;
const DWORD kNameCapacity = sizeof(ArchiveEntryInfo::name) - 1;
const DWORD kCommentCapacity = sizeof(ArchiveEntryInfo::comment) - 1;
// Room for the usual fields (times, Unix ids, a Unicode Path of a name that fits); a longer list is
// read as far as it goes.
const DWORD kExtraCapacity = 4096;

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
bool EnsureFolderInPlace(wchar_t* path) {
    if (path[0] == L'\0') {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    wchar_t* lastSeparator = wcsrchr(path, L'\\');
    if (lastSeparator == nullptr) {
        return true;  // the top of a relative path, or a bare drive, is taken to exist
    }
    *lastSeparator = L'\0';
    const bool parentExists = EnsureFolderInPlace(path);
    *lastSeparator = L'\\';
    if (!parentExists) {
        return false;
    }
    if (CreateDirectoryW(path, nullptr)) {
        return true;
    }
    // A path ending in a separator names the parent just created; the folder may also have been
    // made by someone else meanwhile. Either way it now exists.
    const DWORD created = GetFileAttributesW(path);
    return created != INVALID_FILE_ATTRIBUTES && (created & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool EnsureFolderPathW(const wchar_t* path) {
    wchar_t copy[MAX_PATH] = {};
    const size_t length = wcslen(path);
    if (length >= MAX_PATH) {
        return false;
    }
    wmemcpy(copy, path, length);
    return EnsureFolderInPlace(copy);
}

// An ANSI path as text. In a double-byte code page a trail byte can equal the backslash, so ANSI
// paths are split only once converted.
bool WidenPath(const char* path, wchar_t (&wide)[MAX_PATH]) {
    ZeroMemory(wide, sizeof(wide));
    if (path[0] == '\0') {
        return true;
    }
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide, MAX_PATH) > 0;
}

// destFolder, a backslash unless it ends in one, then the name; false when it does not fit.
bool ComposeTarget(const wchar_t* destFolder, const wchar_t* name, wchar_t (&target)[MAX_PATH]) {
    const size_t destLength = wcslen(destFolder);
    const wchar_t* separator = (destLength > 0 && destFolder[destLength - 1] == L'\\') ? L"" : L"\\";
    const int length = _snwprintf(target, MAX_PATH, L"%ls%ls%ls", destFolder, separator, name);
    return length > 0 && length < MAX_PATH;
}

// Creation and last-write time become the entry's time, taken as local time with the time-zone
// offset in force now; last access is written back as read. Any failure leaves the times alone.
void RestoreFileTime(const wchar_t* target, DWORD dosDateTime) {
    CScopedHandle file(
        CreateFileW(target, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
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
    wchar_t destination[MAX_PATH] = {};
    if (unzipper.m_hArchive == nullptr || destFolder == nullptr || !WidenPath(destFolder, destination) ||
        !EnsureFolderPathW(destination)) {
        return false;
    }
    unz_global_info globalInfo = {};
    if (unzGetGlobalInfo(unzipper.m_hArchive, &globalInfo) != UNZ_OK || globalInfo.number_entry == 0) {
        return false;
    }
    if (!unzipper.MoveToFirstEntry()) {
        return false;
    }
    while (unzipper.ExtractCurrentEntryTo(destination)) {
        if (!unzipper.MoveToNextEntry()) {
            return unzipper.IsAtEndOfList();
        }
    }
    return false;
}

bool CUnzipper::ExtractCurrentEntry(const char* destFolder) {
    wchar_t destination[MAX_PATH] = {};
    return destFolder != nullptr && WidenPath(destFolder, destination) && ExtractCurrentEntryTo(destination);
}

bool CUnzipper::ExtractCurrentEntryTo(const wchar_t* destFolder) {
    if (m_hArchive == nullptr || !EnsureFolderPathW(destFolder)) {
        return false;
    }
    ArchiveEntryInfo info;
    if (!ReadEntryInfo(info)) {
        return false;
    }
    // Refused before anything is created for it: without a password the library would hand out
    // the ciphertext, and a name that leaves the destination or opens a device must not be used.
    if ((info.generalFlags & kEncryptedFlag) != 0 || !IsSafeEntryName(info.decodedName)) {
        return false;
    }
    if (info.isFolder) {
        // A folder entry holds no data (some archivers deflate its nothing into an empty stream).
        // One that does is a file whose name was read in another code page than it was written
        // in, a trail byte taken for the backslash.
        return info.uncompressedSize == 0 && info.compressedSize <= kEmptyDeflateStreamSize;
    }

    wchar_t target[MAX_PATH] = {};
    if (!ComposeTarget(destFolder, info.decodedName, target)) {
        return false;
    }
    wchar_t* lastSeparator = wcsrchr(target, L'\\');
    *lastSeparator = L'\0';
    const bool folderExists = EnsureFolderPathW(target);
    *lastSeparator = L'\\';
    if (!folderExists) {
        return false;
    }

    CScopedHandle file(
        CreateFileW(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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
    unsigned char extra[kExtraCapacity] = {};
    if (unzGetCurrentFileInfo(m_hArchive, &entry, info.name, kNameCapacity, extra, sizeof(extra),
                              info.comment, kCommentCapacity) != UNZ_OK) {
        return false;
    }
    // A name that the buffer would cut, or that a zero byte ends early, is not the stored name.
    if (entry.size_filename > kNameCapacity || strlen(info.name) != entry.size_filename) {
        return false;
    }
    const DWORD extraLength = entry.size_file_extra < sizeof(extra) ? entry.size_file_extra : sizeof(extra);
    if (!DecodeEntryName(info.name, entry.size_filename, entry.flag, extra, extraLength, info.decodedName)) {
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
    // The stored bytes are only ever compared as bytes: a slash is never a trail byte.
    for (char* c = info.name; *c != '\0'; ++c) {
        if (*c == '/') {
            *c = '\\';
        }
    }
    for (wchar_t* c = info.decodedName; *c != L'\0'; ++c) {
        if (*c == L'/') {
            *c = L'\\';
        }
    }
    const size_t nameLength = wcslen(info.decodedName);
    info.isFolder = nameLength > 0 && info.decodedName[nameLength - 1] == L'\\';
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
    wchar_t wide[MAX_PATH] = {};
    return path != nullptr && strnlen(path, MAX_PATH) < MAX_PATH && WidenPath(path, wide) &&
           EnsureFolderPathW(wide);
}
