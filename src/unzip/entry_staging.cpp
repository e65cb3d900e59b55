#include "unzip/entry_staging.h"

#include "system/scoped_handles.h"
#include "unzip/entry_name_rules.h"
#include "unzip/file_placement.h"
#include "unzip/staging_folder.h"

namespace {

const DWORD kEncryptedFlag = 0x1;
const DWORD kStoredMethod = 0;
const DWORD kEmptyDeflateStreamSize = 2;

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

// Creation and last-write time become the entry's time, taken as local time with the time-zone
// offset in force now; last access is left as it is. Any failure leaves the times alone.
void RestoreFileTime(HANDLE file, DWORD dosDateTime) {
    FILETIME local = {};
    FILETIME entryTime = {};
    if (DosDateTimeToFileTime(HIWORD(dosDateTime), LOWORD(dosDateTime), &local) &&
        LocalFileTimeToFileTime(&local, &entryTime)) {
        SetFileTime(file, &entryTime, nullptr, &entryTime);
    }
}

}  // namespace

bool IsAcceptedEntry(const ArchiveEntryInfo& info, const wchar_t* destination) {
    // Without a password the library would hand out the ciphertext, as it hands out BZip2 data it
    // was built without; and a name that leaves the destination or opens a device must not be used.
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
    return info.decodedName[0] != L'\0';  // the destination itself is no file
}

bool WriteStagedFile(unzFile archive, const ArchiveEntryInfo& info, const wchar_t* stagedPath,
                     SECURITY_ATTRIBUTES* security, ULONGLONG& stagedId) {
    CScopedHandle file(CreateFileW(stagedPath, GENERIC_READ | GENERIC_WRITE, 0, security, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid() || unzOpenCurrentFile(archive) != UNZ_OK) {
        return false;
    }
    CCurrentEntryData data(archive);
    char buffer[2048] = {};
    unsigned long long written = 0;
    int count = 0;
    while ((count = unzReadCurrentFile(archive, buffer, sizeof(buffer))) > 0) {
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
    // The data must be on disk before the journal that names the file is: a power cut may keep
    // the journal and the file's size, yet lose data never flushed.
    return FlushFileBuffers(file.Get()) && ReadFileIdentity(file.Get(), stagedId);
}
