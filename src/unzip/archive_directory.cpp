#include "unzip/archive_directory.h"

#include "system/scoped_handles.h"

namespace {

const DWORD kCentralRecordSize = 46;  // the fixed part, before name, extra field and comment
const DWORD kEndRecordSize = 22;
const DWORD kEndRecordSearch = 0xFFFF + kEndRecordSize;  // the end record and the longest comment
const DWORD kZip64LocatorSize = 20;                      // right before the end record when there is one
const DWORD kMostEntries = 0xFFFF;                       // what an end record without ZIP64 can count

DWORD ReadLittleEndian(const BYTE* bytes) {
    return static_cast<DWORD>(bytes[0]) | (static_cast<DWORD>(bytes[1]) << 8) |
           (static_cast<DWORD>(bytes[2]) << 16) | (static_cast<DWORD>(bytes[3]) << 24);
}

// The central directory's size as the end record gives it; false when no end record is found or a
// ZIP64 locator precedes it.
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
            size = ReadLittleEndian(bytes + at + 12);
            return true;
        }
    }
    return false;
}

}  // namespace

bool ReadDirectoryShape(const char* archivePath, unzFile archive, DWORD& count, DWORD& directorySize) {
    unz_global_info globalInfo = {};
    if (!ReadCentralDirectorySize(archivePath, directorySize) ||
        unzGetGlobalInfo(archive, &globalInfo) != UNZ_OK || globalInfo.number_entry == 0 ||
        globalInfo.number_entry > kMostEntries) {
        return false;
    }
    count = static_cast<DWORD>(globalInfo.number_entry);
    return true;
}

DWORD DirectoryRecordSize(const unz_file_info& record) {
    return kCentralRecordSize + record.size_filename + record.size_file_extra + record.size_file_comment;
}
