// The signature file a vendor publishes beside each package (<version>.zip.sig), and its check with
// the platform's CNG: a fixed layout signed with ECDSA P-256 over its own preceding bytes, which vouches
// for the version text the package is published as, its size and its SHA-256. Also the SHA-256 the
// download feeds block by block. The layout is in docs/protocol.md; scripts/package writes it.
#pragma once

#include <windows.h>

#include "system/scoped_handles.h"

const DWORD kSha256Size = 32;
// A signature file longer than this is refused unread.
const DWORD kSignatureFileLimit = 4096;
const size_t kMostPackageKeys = 2;

// A vendor's public key: the curve point X then Y, each 32 bytes big-endian.
struct CPackageKey {
    BYTE m_abPoint[64];
};

// The keys compiled into this build (VX_PACKAGE_KEYS): none, or one or two while the vendor changes
// keys. Without keys packages are not checked.
extern const CPackageKey g_packageKeys[kMostPackageKeys];
extern const size_t g_packageKeyCount;

// What a good signature vouches for.
struct CSignedPackage {
    DWORD m_dwSize;
    BYTE m_abHash[kSha256Size];
};

const DWORD kKeyIdSize = 8;
// The first bytes of the SHA-256 of the key in its DER form, as `openssl ec -pubout` writes it.
bool PackageKeyId(const CPackageKey& key, BYTE (&id)[kKeyIdSize]);

// True when data is a whole signature file of the known format, for exactly this version text, by
// one of keys, and its signature verifies; package then holds the size and hash it vouches for.
bool ReadPackageSignature(const BYTE* data, DWORD length, const char* version, const CPackageKey* keys,
                          size_t keyCount, CSignedPackage& package);

// SHA-256 over bytes given piece by piece.
class CSha256 {
public:
    bool Begin();
    bool Add(const void* data, DWORD length);
    bool Finish(BYTE (&digest)[kSha256Size]);

private:
    CScopedAlgorithmProvider m_hAlgorithm;
    CScopedCngHash m_hHash;
};
