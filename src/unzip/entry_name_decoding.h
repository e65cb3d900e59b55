// How a stored entry name becomes text. Archivers store names in one of three ways: UTF-8 with the
// language-encoding flag (bit 11) set (Python's zipfile, 7-Zip, bsdtar); UTF-8 in an Info-ZIP
// Unicode Path extra field (0x7075) beside a name in another encoding, valid while the field's
// CRC-32 matches the stored name (Info-ZIP on Unix); or the OEM code page, as Windows' own
// compressed folders write and read them. Archives that hold UTF-8 without either mark (macOS's
// Archive Utility) are read in the OEM code page too, like Windows does.
#pragma once

#include <windows.h>

// Decodes stored (storedLength bytes, not terminated) into decoded; false when the bytes are not
// valid text in the encoding they declare or the text does not fit. extra is the entry's
// central-directory extra field.
bool DecodeEntryName(const char* stored, DWORD storedLength, DWORD generalFlags, const unsigned char* extra,
                     DWORD extraLength, wchar_t (&decoded)[MAX_PATH]);
