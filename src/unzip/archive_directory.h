// Checks on a package's directory of entries, made before and while its entries are staged: an end
// record is found, no ZIP64 locator precedes it, it counts 1 to 65,535 entries, and the records
// walked fill the directory exactly. A package never needs ZIP64, and the library would take a count
// from a ZIP64 record that no 32-bit size holds.
#pragma once

#include <windows.h>

#include "unzip.h"

// The number of entries and the directory's size in bytes as the end record gives them; false when
// the archive is refused.
bool ReadDirectoryShape(const char* archivePath, unzFile archive, DWORD& count, DWORD& directorySize);

// The size of an entry's record in the directory, from the library's information on it.
DWORD DirectoryRecordSize(const unz_file_info& record);
