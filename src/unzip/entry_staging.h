// Writing one entry of a package into the staging folder. An entry is refused before anything is
// written for it; a file entry's data must then match its size and CRC-32, and the file gets the
// entry's time and the security that a new file in the destination inherits, which a rename into
// place keeps.
#pragma once

#include <windows.h>

#include "unzip.h"
#include "unzip/unzipper.h"

// False for an encrypted entry or one of a method other than stored and deflated, a name that leaves
// the destination, opens a device or reaches the staging folder, a folder entry that holds data, and
// a file entry that names the destination itself.
bool IsAcceptedEntry(const ArchiveEntryInfo& info, const wchar_t* destination);

// Writes the data of the archive's current entry, a file entry, to stagedPath, a new file; stagedId
// gets the file's identity.
bool WriteStagedFile(unzFile archive, const ArchiveEntryInfo& info, const wchar_t* stagedPath,
                     SECURITY_ATTRIBUTES* security, ULONGLONG& stagedId);
