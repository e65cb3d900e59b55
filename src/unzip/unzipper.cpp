#include "unzip/unzipper.h"

#include <cstring>
#include <cwchar>

#include "system/folder_security.h"
#include "system/link_checks.h"
#include "system/scoped_handles.h"
#include "unzip/archive_directory.h"
#include "unzip/entry_name_decoding.h"
#include "unzip/entry_staging.h"
#include "unzip/file_placement.h"
#include "unzip/package_placement.h"
#include "unzip/staging_folder.h"
#include "unzip/update_journal.h"

namespace {

const DWORD kNameCapacity = sizeof(ArchiveEntryInfo::name) - 1;
const DWORD kCommentCapacity = sizeof(ArchiveEntryInfo::comment) - 1;

// Room for the usual fields (times, Unix ids, a Unicode Path of a name that fits); a longer list is
// read as far as it goes.
const DWORD kExtraCapacity = 4096;

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
    DWORD count = 0;
    DWORD directorySize = 0;
    if (!ReadDirectoryShape(archivePath, unzipper.m_hArchive, count, directorySize)) {
        return false;
    }
    CStagingFolder staging;
    if (!staging.Create(destination)) {
        return false;
    }
    // Without security of its own (FAT), a staged file gets the platform's default, as it would there.
    CInheritedFileSecurity security;
    security.Compute(destination);
    wchar_t packageName[MAX_PATH] = {};
    NameOfPackage(archive, packageName);
    // The files as staged, then as planned: what each replaces, and the folders made for them.
    CUpdateJournal staged;
    CUpdateJournal journal;
    CScopedHeapBlock folders(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, count * sizeof(CPreparedFolders)));
    CPreparedFolders* made = static_cast<CPreparedFolders*>(folders.Get());
    if (made == nullptr || !staged.Begin(packageName, count) || !journal.Begin(packageName, count) ||
        !unzipper.StageEntries(destination, staging.Path(), count, directorySize, security.Attributes(),
                               staged)) {
        return false;
    }
    CSharingDeadline deadline(kSharingBoundMs);
    return PlanPlacement(destination, staged, made, journal, deadline) &&
           PlacePackage(destination, staging, journal, made, deadline);
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
                             DWORD directorySize, SECURITY_ATTRIBUTES* security, CUpdateJournal& staged) {
    if (!MoveToFirstEntry()) {
        return false;
    }
    DWORD index = 0;
    unsigned long long recordsSize = 0;
    do {
        ArchiveEntryInfo info;
        wchar_t folder[MAX_PATH] = {};
        wchar_t stagedPath[MAX_PATH] = {};
        wchar_t old[MAX_PATH] = {};
        DWORD recordSize = 0;
        if (index == count || !ReadEntryInfo(info, recordSize) || !IsAcceptedEntry(info, destination) ||
            !ComposeStagedFolder(staging, index, folder) ||
            !ComposeStagedPaths(staging, index, stagedPath, old) ||
            (index % kStagedPerFolder == 0 && !CreateDirectoryW(folder, nullptr))) {
            return false;
        }
        recordsSize += recordSize;
        CJournalEntry entry = {};
        entry.index = index;
        wcscpy(entry.target, info.decodedName);
        if (!info.isFolder &&
            (!WriteStagedFile(m_hArchive, info, stagedPath, security, entry.newId) || !staged.Add(entry))) {
            return false;
        }
        ++index;
        // The library never reports the end of a list of 0xFFFF entries: the count ends it.
    } while (index < count && MoveToNextEntry());
    // The end record may count fewer entries than the directory holds, which the library would
    // stop at without a word: the records read must fill the directory exactly.
    return index == count && recordsSize == directorySize;
}

bool CUnzipper::ReadEntryInfo(ArchiveEntryInfo& info) {
    DWORD recordSize = 0;
    return ReadEntryInfo(info, recordSize);
}

bool CUnzipper::ReadEntryInfo(ArchiveEntryInfo& info, DWORD& recordSize) {
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
    recordSize = DirectoryRecordSize(entry);
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
