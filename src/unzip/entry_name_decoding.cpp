#include "unzip/entry_name_decoding.h"

#include <zlib.h>

namespace {

const DWORD kLanguageEncodingFlag = 0x800;
const WORD kUnicodePathField = 0x7075;
const BYTE kUnicodePathVersion = 1;
const DWORD kFieldHeaderSize = 4;
const DWORD kUnicodePathHeaderSize = 5;  // version and the CRC-32 of the stored name

WORD ReadWord(const unsigned char* bytes) {
    return static_cast<WORD>(bytes[0] | (bytes[1] << 8));
}

DWORD ReadDword(const unsigned char* bytes) {
    return static_cast<DWORD>(bytes[0]) | (static_cast<DWORD>(bytes[1]) << 8) |
           (static_cast<DWORD>(bytes[2]) << 16) | (static_cast<DWORD>(bytes[3]) << 24);
}

// The UTF-8 name of a Unicode Path field that still describes the stored name; false when there is
// none, or when the stored name was changed after the field was written (its CRC-32 differs).
bool FindUnicodePath(const char* stored, DWORD storedLength, const unsigned char* extra, DWORD extraLength,
                     const char*& utf8, DWORD& utf8Length) {
    DWORD offset = 0;
    while (extra != nullptr && offset + kFieldHeaderSize <= extraLength) {
        const WORD id = ReadWord(extra + offset);
        const DWORD size = ReadWord(extra + offset + 2);
        const unsigned char* data = extra + offset + kFieldHeaderSize;
        if (offset + kFieldHeaderSize + size > extraLength) {
            return false;
        }
        if (id == kUnicodePathField && size >= kUnicodePathHeaderSize && data[0] == kUnicodePathVersion) {
            const uLong storedCrc = crc32(0L, reinterpret_cast<const Bytef*>(stored), storedLength);
            if (ReadDword(data + 1) != storedCrc) {
                return false;
            }
            utf8 = reinterpret_cast<const char*>(data + kUnicodePathHeaderSize);
            utf8Length = size - kUnicodePathHeaderSize;
            return true;
        }
        offset += kFieldHeaderSize + size;
    }
    return false;
}

bool Decode(UINT codePage, const char* text, DWORD length, wchar_t (&decoded)[MAX_PATH]) {
    if (length == 0) {
        return true;  // the empty name stays empty
    }
    // One unit is kept for the terminator; invalid bytes fail rather than become U+FFFD or '?', and
    // a zero inside the text would end the name early.
    const int units = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, static_cast<int>(length),
                                          decoded, MAX_PATH - 1);
    return units > 0 && wcslen(decoded) == static_cast<size_t>(units);
}

}  // namespace

bool DecodeEntryName(const char* stored, DWORD storedLength, DWORD generalFlags, const unsigned char* extra,
                     DWORD extraLength, wchar_t (&decoded)[MAX_PATH]) {
    ZeroMemory(decoded, sizeof(decoded));
    if ((generalFlags & kLanguageEncodingFlag) != 0) {
        return Decode(CP_UTF8, stored, storedLength, decoded);
    }
    const char* utf8 = nullptr;
    DWORD utf8Length = 0;
    if (FindUnicodePath(stored, storedLength, extra, extraLength, utf8, utf8Length)) {
        return Decode(CP_UTF8, utf8, utf8Length, decoded);
    }
    return Decode(CP_OEMCP, stored, storedLength, decoded);
}
