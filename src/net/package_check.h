// The check a starter built with the vendor's keys makes of every package: its signature file is
// fetched and checked before the package is asked for; the package is hashed as it is written, cut
// off once it outgrows its signed size, and must match the signed size and hash; and the written
// archive stays held, shared for reading only, until the unpacker has returned, so that the bytes
// unpacked are the bytes checked. A build without keys checks nothing and holds nothing. The package
// tool's check runs the same steps over a file.
#pragma once

#include <windows.h>

#include "net/http_connection.h"
#include "net/package_signature.h"
#include "system/scoped_handles.h"

class CPackageCheck {
public:
    // With no keys nothing is checked.
    CPackageCheck(const CPackageKey* keys, size_t keyCount);

    // Before the package is requested: fetches <archiveName>.sig and begins the check with it.
    bool FetchSignature(CUpdaterClient& client, const char* archiveName, const char* version);
    // Begins the check with a signature file for version.
    bool Begin(const BYTE* signature, DWORD length, const char* version);
    // Each block as it is written; false once the package has grown past its signed size.
    bool Add(const void* data, DWORD count);
    // After the last block: closes the written archive and, in a build with keys, holds it open
    // again for reading only. True when it is whole and has the signed hash.
    bool Finish(CScopedHandle& archive, const char* archiveName);
    // Lets go of the archive, so that it can be deleted.
    void Release() { m_hHeldArchive.Close(); }

private:
    const CPackageKey* m_pKeys;
    size_t m_keyCount;
    CSignedPackage m_signed;
    DWORD m_dwReceived;
    CSha256 m_hash;
    CScopedHandle m_hHeldArchive;
};
