// CUnzipper unpacks a ZIP archive on disk into a folder: file entries are streamed to files at the
// relative paths they name (missing folders created), with their stored time as creation and
// last-write time. The package installs whole or not at all: every entry is first unpacked into a
// staging folder, and only when all passed are the files put in place, as a journal written first
// lists them, the replaced ones kept aside and moved back on a failure. An update that the end of
// its process cut short is finished by the next run. It fails on a damaged or encrypted entry, on data
// that does not match its CRC-32 or size, on a damaged or incomplete list of entries, on an entry
// name that does not decode, would leave the folder, name a device or not fit in a path, and on a
// link met in the destination (a folder link, a file with a second name).
// Names are decoded once, as the archiver stored them (UTF-8 when flagged or given by an Info-ZIP
// Unicode Path field, else the OEM code page), and files are created under the decoded name.
#pragma once

#include <windows.h>

#include "unzip.h"

class CUpdateJournal;

// The information on one entry, from its central-directory record.
struct ArchiveEntryInfo {
    char name[261];  // as stored, forward slashes turned into backslashes
    char comment[256];
    DWORD versionMadeBy;
    DWORD versionNeeded;
    DWORD generalFlags;
    DWORD compressionMethod;  // 0 stored, 8 deflated
    DWORD dosDateTime;        // MS-DOS date in the high word, time in the low word
    DWORD crc;
    DWORD compressedSize;
    DWORD uncompressedSize;
    DWORD internalAttributes;
    DWORD externalAttributes;
    wchar_t decodedName[MAX_PATH];  // name as text, forward slashes turned into backslashes
    bool isFolder;                  // decodedName ends with a backslash
};

class CUnzipper {
public:
    // Unpacks every entry of the archive below destFolder, creating it if need be.
    // True when the whole list of entries was unpacked; the files it replaced stay aside, with the
    // journal, until RemoveReplacedFiles.
    static bool ExtractArchive(const char* archivePath, const char* destFolder);
    // Finishes what an unpack into destFolder left when its process ended: one that ended while its
    // files were put in place is rolled back; one whose files were all in place gives its archive's
    // file name in packageName (else empty), for its version to be recorded. False when a rollback
    // could not finish: what it needs stays, and the next call tries again.
    static bool RecoverInterruptedUpdate(const char* destFolder, char (&packageName)[MAX_PATH]);
    // Deletes what an update whose files are all in place kept aside, once its version is recorded;
    // what cannot be deleted now is tried again by the next update.
    static void RemoveReplacedFiles(const char* destFolder);

    CUnzipper();
    virtual ~CUnzipper();
    CUnzipper(const CUnzipper&) = delete;
    CUnzipper& operator=(const CUnzipper&) = delete;

    // False when no archive is open, the record cannot be read, or its name does not fit whole or
    // does not decode.
    bool ReadEntryInfo(ArchiveEntryInfo& info);
    bool MoveToFirstEntry();
    // False at the end of the list too; IsAtEndOfList tells that regular end from a damaged record.
    bool MoveToNextEntry();
    bool IsAtEndOfList() const { return m_bEndOfList; }

    // True when path exists as a folder on return; missing levels are created top down.
    static bool EnsureFolderPath(const char* path);

private:
    // ReadEntryInfo, with the size of the entry's record in the directory.
    bool ReadEntryInfo(ArchiveEntryInfo& info, DWORD& recordSize);
    // Checks each entry and writes the file entries' data into staging; staged lists those files.
    bool StageEntries(const wchar_t* destination, const wchar_t* staging, DWORD count, DWORD directorySize,
                      SECURITY_ATTRIBUTES* security, CUpdateJournal& staged);

    unzFile m_hArchive;
    bool m_bEndOfList;
};
