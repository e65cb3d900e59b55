#include "unzip/unzipper.h"

#include <cstdio>
#include <cstring>

#include "system/folder_security.h"
#include "system/link_checks.h"
#include "system/scoped_handles.h"
#include "unzip/entry_name_decoding.h"
#include "unzip/entry_name_rules.h"
#include "unzip/file_placement.h"
#include "unzip/staging_folder.h"

namespace {

const DWORD kEncryptedFlag = 0x1;
const DWORD kStoredMethod = 0;
const DWORD kEmptyDeflateStreamSize = 2;
const DWORD kNameCapacity = sizeof(ArchiveEntryInfo::name) - 1;
const DWORD kCommentCapacity = sizeof(ArchiveEntryInfo::comment) - 1;
const DWORD kCentralRecordSize = 46;  // the fixed part, before name, extra field and comment
const DWORD kEndRecordSize = 22;
const DWORD kEndRecordSearch = 0xFFFF + kEndRecordSize;  // the end record and the longest comment
const DWORD kZip64LocatorSize = 20;                      // right before the end record when there is one
const DWORD kMostEntries = 0xFFFF;                       // what an end record without ZIP64 can count

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

// The archive's file name, which the journal keeps as the package's name.
void NameOfPackage(const wchar_t* archive, wchar_t (&name)[MAX_PATH]) {
    const wchar_t* last = archive;
    for (const wchar_t* c = archive; *c != L'\0'; ++c) {
        last = (*c == L'\\' || *c == L'/') ? c + 1 : last;
    }
    wcscpy(name, last);
}

// Creation and last-write time become the entry's time, taken as local time with the time-zone
// offset in force now; last access is kept. Any failure leaves the times alone.
void RestoreFileTime(HANDLE file, DWORD dosDateTime) {
    FILETIME creation = {};
    FILETIME lastAccess = {};
    FILETIME lastWrite = {};
    FILETIME local = {};
    FILETIME entryTime = {};
    if (!GetFileTime(file, &creation, &lastAccess, &lastWrite) ||
        !DosDateTimeToFileTime(HIWORD(dosDateTime), LOWORD(dosDateTime), &local) ||
        !LocalFileTimeToFileTime(&local, &entryTime)) {
        return;
    }
    SetFileTime(file, &entryTime, &lastAccess, &entryTime);
}

// The central directory's size as the end record gives it; false when no end record is found or a
// ZIP64 locator precedes it. A package never needs ZIP64, and the library would take an entry
// count from a ZIP64 record that no 32-bit size can hold.
bool ReadCentralDirectorySize(const char* archivePath, DWORD& size) {
    CScopedHandle file(
        CreateFileA(archivePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER fileSize = {};
    if (!file.IsValid() || !GetFileSizeEx(file.Get(), &fileSize)) {
        return false;
    }
    const DWORD tailLength =
        fileSize.QuadPart < kEndRecordSearch ? static_cast<DWORD>(fileSize.QuadPart) : kEndRecordSearch;
    CScopedHeapBlock tail(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kEndRecordSearch));
    LARGE_INTEGER start = {};
    start.QuadPart = fileSize.QuadPart - tailLength;
    DWORD read = 0;
    if (!tail.IsValid() || !SetFilePointerEx(file.Get(), start, nullptr, FILE_BEGIN) ||
        !ReadFile(file.Get(), tail.Get(), tailLength, &read, nullptr) || read != tailLength ||
        tailLength < kEndRecordSize) {
        return false;
    }
    // The library takes the end record nearest the end of the file, and so does this.
    const BYTE* bytes = static_cast<const BYTE*>(tail.Get());
    for (DWORD at = tailLength - kEndRecordSize + 1; at-- > 0;) {
        if (bytes[at] == 'P' && bytes[at + 1] == 'K' && bytes[at + 2] == 5 && bytes[at + 3] == 6) {
            const BYTE* locator = bytes + at - kZip64LocatorSize;
            if (at >= kZip64LocatorSize && locator[0] == 'P' && locator[1] == 'K' && locator[2] == 6 &&
                locator[3] == 7) {
                return false;
            }
            size = static_cast<DWORD>(bytes[at + 12]) | (static_cast<DWORD>(bytes[at + 13]) << 8) |
                   (static_cast<DWORD>(bytes[at + 14]) << 16) | (static_cast<DWORD>(bytes[at + 15]) << 24);
            return true;
        }
    }
    return false;
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
    wchar_t archive[MAX_PATH] = {};
    if (unzipper.m_hArchive == nullptr || destFolder == nullptr || !WidenPath(destFolder, destination) ||
        !WidenPath(archivePath, archive) || !EnsureFolderPathW(destination) || !IsRealFolder(destination)) {
        return false;
    }
    // Checked before the count sizes anything.
    unz_global_info globalInfo = {};
    DWORD directorySize = 0;
    if (!ReadCentralDirectorySize(archivePath, directorySize) ||
        unzGetGlobalInfo(unzipper.m_hArchive, &globalInfo) != UNZ_OK || globalInfo.number_entry == 0 ||
        globalInfo.number_entry > kMostEntries) {
        return false;
    }
    CStagingFolder staging;
    if (!staging.Create(destination)) {
        return false;
    }
    // Without security of its own (FAT), a staged file gets the platform's default, as it would there.
    CInheritedFileSecurity security;
    security.Compute(destination);
    CScopedHeapBlock entries(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, globalInfo.number_entry * sizeof(CStagedEntry)));
    CStagedEntry* list = static_cast<CStagedEntry*>(entries.Get());
    if (list == nullptr || !unzipper.StageEntries(destination, staging.Path(), globalInfo.number_entry,
                                                  directorySize, security.Attributes(), list)) {
        return false;
    }
    wchar_t packageName[MAX_PATH] = {};
    NameOfPackage(archive, packageName);
    CSharingDeadline deadline(kSharingBoundMs);
    CUpdateJournal journal;
    if (!journal.Begin(packageName, globalInfo.number_entry) ||
        !unzipper.PlanEntries(destination, globalInfo.number_entry, list, journal, deadline) ||
        !journal.Write(staging.Path())) {
        RemoveMadeFolders(destination, journal, list);
        return false;
    }
    // From the first move on, the journal tells the next run what to undo should this one end.
    for (DWORD position = 0; position < journal.Count(); ++position) {
        CJournalEntry entry;
        wchar_t target[MAX_PATH] = {};
        wchar_t staged[MAX_PATH] = {};
        wchar_t old[MAX_PATH] = {};
        if (!journal.Entry(position, entry) || !ComposePath(destination, entry.target, target) ||
            !ComposeStagedPaths(staging.Path(), entry.index, staged, old) ||
            !PlaceFile(staged, target, old, entry, deadline)) {
            RollBack(destination, staging, journal, list);
            return false;
        }
    }
    if (!journal.MarkCommitted()) {
        RollBack(destination, staging, journal, list);
        return false;
    }
    staging.Keep();  // the replaced files stay aside until the version is recorded
    return true;
}

void CUnzipper::RollBack(const wchar_t* destination, CStagingFolder& staging, const CUpdateJournal& journal,
                         const CStagedEntry* entries) {
    if (!RollBackPlacement(destination, staging.Path(), journal)) {
        staging.Keep();  // for the next run to finish
        return;
    }
    RemoveMadeFolders(destination, journal, entries);
}

void CUnzipper::RemoveMadeFolders(const wchar_t* destination, const CUpdateJournal& journal,
                                  const CStagedEntry* entries) {
    for (DWORD position = journal.Count(); position-- > 0;) {
        CJournalEntry entry;
        if (journal.Entry(position, entry)) {
            RemovePreparedFolders(destination, entry.target, entries[entry.index].folders);
        }
    }
}

bool CUnzipper::RecoverInterruptedUpdate(const char* destFolder, char (&packageName)[MAX_PATH]) {
    ZeroMemory(packageName, sizeof(packageName));
    wchar_t destination[MAX_PATH] = {};
    wchar_t name[MAX_PATH] = {};
    if (destFolder == nullptr || !WidenPath(destFolder, destination) ||
        !CStagingFolder::RecoverInterrupted(destination, name)) {
        return false;
    }
    // A name the code page cannot hold is no package's name: none is reported.
    BOOL lossy = FALSE;
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, -1, packageName, MAX_PATH, nullptr, &lossy) ==
            0 ||
        lossy) {
        ZeroMemory(packageName, sizeof(packageName));
    }
    return true;
}

void CUnzipper::RemoveReplacedFiles(const char* destFolder) {
    wchar_t destination[MAX_PATH] = {};
    if (destFolder != nullptr && WidenPath(destFolder, destination)) {
        CStagingFolder::RemoveCommitted(destination);
    }
}

bool CUnzipper::StageEntries(const wchar_t* destination, const wchar_t* staging, DWORD count,
                             DWORD directorySize, SECURITY_ATTRIBUTES* security, CStagedEntry* entries) {
    if (!MoveToFirstEntry()) {
        return false;
    }
    DWORD index = 0;
    unsigned long long recordsSize = 0;
    do {
        unz_file_info record = {};
        if (index == count ||
            unzGetCurrentFileInfo(m_hArchive, &record, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
            return false;
        }
        recordsSize +=
            kCentralRecordSize + record.size_filename + record.size_file_extra + record.size_file_comment;
        entries[index].offset = unzGetOffset(m_hArchive);
        wchar_t folder[MAX_PATH] = {};
        wchar_t staged[MAX_PATH] = {};
        wchar_t old[MAX_PATH] = {};
        const bool startsFolder = index % kStagedPerFolder == 0;
        if (!ComposeStagedFolder(staging, index, folder) ||
            (startsFolder && !CreateDirectoryW(folder, nullptr)) ||
            !ComposeStagedPaths(staging, index, staged, old) ||
            !StageCurrentEntry(destination, staged, security, entries[index].stagedId)) {
            return false;
        }
        ++index;
        // The library never reports the end of a list of 0xFFFF entries: the count ends it.
    } while (index < count && MoveToNextEntry());
    // The end record may count fewer entries than the directory holds, which the library would
    // stop at without a word: the records read must fill the directory exactly.
    return index == count && recordsSize == directorySize;
}

bool CUnzipper::PlanEntries(const wchar_t* destination, DWORD count, CStagedEntry* entries,
                            CUpdateJournal& journal, CSharingDeadline& deadline) {
    for (DWORD index = 0; index < count; ++index) {
        ArchiveEntryInfo info;
        wchar_t target[MAX_PATH] = {};
        if (unzSetOffset(m_hArchive, entries[index].offset) != UNZ_OK || !ReadEntryInfo(info) ||
            !ComposePath(destination, info.decodedName, target)) {
            return false;
        }
        if (info.isFolder) {
            continue;
        }
        CJournalEntry entry = {};
        entry.index = index;
        entry.newId = entries[index].stagedId;
        wcscpy(entry.target, info.decodedName);
        if (!PrepareFolders(destination, info.decodedName, entries[index].folders) ||
            !InspectTarget(target, deadline, entry.hasOld, entry.oldId) || !journal.Add(entry)) {
            RemovePreparedFolders(destination, info.decodedName, entries[index].folders);
            return false;
        }
    }
    return true;
}

bool CUnzipper::StageCurrentEntry(const wchar_t* destination, const wchar_t* stagedPath,
                                  SECURITY_ATTRIBUTES* security, ULONGLONG& stagedId) {
    ArchiveEntryInfo info;
    if (m_hArchive == nullptr || !ReadEntryInfo(info)) {
        return false;
    }
    // Refused before anything is written for it: without a password the library would hand out
    // the ciphertext, as it hands out BZip2 data it was built without; and a name that leaves the
    // destination or opens a device must not be used.
    wchar_t target[MAX_PATH] = {};
    const bool knownMethod = info.compressionMethod == kStoredMethod || info.compressionMethod == Z_DEFLATED;
    if ((info.generalFlags & kEncryptedFlag) != 0 || !knownMethod || !IsSafeEntryName(info.decodedName) ||
        IsStagingName(info.decodedName) || !ComposePath(destination, info.decodedName, target)) {
        return false;
    }
    if (info.isFolder) {
        // A folder entry holds no data (some archivers deflate its nothing into an empty stream).
        // One that does is a file whose name was read in another code page than it was written
        // in, a trail byte taken for the backslash.
        return info.uncompressedSize == 0 && info.compressedSize <= kEmptyDeflateStreamSize;
    }
    if (info.decodedName[0] == L'\0') {
        return false;  // the destination itself is no file
    }

    // The DACL a file made in the destination would inherit: a rename into place keeps it.
    CScopedHandle file(CreateFileW(stagedPath, GENERIC_READ | GENERIC_WRITE, 0, security, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid() || unzOpenCurrentFile(m_hArchive) != UNZ_OK) {
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
    // A stream that ends early reads as a regular end, and the library checks the CRC-32 only
    // once the whole entry has been read: the size tells the first, the close the second.
    const int closeResult = data.Close();
    if (count < 0 || closeResult != UNZ_OK || written != info.uncompressedSize) {
        return false;
    }
    RestoreFileTime(file.Get(), info.dosDateTime);
    return ReadFileIdentity(file.Get(), stagedId);
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
