#include "net/package_signature.h"

#include <cstring>

namespace {

// The layout, in this order; numbers little-endian.
const BYTE kMagic[4] = {'V', 'X', 'S', 'G'};
const WORD kFormatVersion = 1;
const DWORD kKeyIdAt = 6;
const DWORD kVersionLengthAt = 14;
const DWORD kVersionAt = 15;
const DWORD kMostVersionLength = 9;
const DWORD kSignatureSize = 64;
// Everything but the version text: magic, format, key id, version length, size, hash, r and s.
const DWORD kFixedSize = 4 + 2 + kKeyIdSize + 1 + 4 + kSha256Size + kSignatureSize;

// A P-256 public key as DER before its point (X and Y follow). The key id is taken over the whole DER
// form, so that `openssl pkey -pubin -outform DER | sha256sum` shows it too.
const BYTE kKeyInfoPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                               0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                               0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

DWORD ReadLittleEndian(const BYTE* bytes, DWORD size) {
    DWORD value = 0;
    for (DWORD i = size; i-- > 0;) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

// The raw r and s form, as CNG takes an ECDSA signature, not DER.
bool VerifiesWith(const CPackageKey& key, const BYTE (&signedHash)[kSha256Size], const BYTE* signature) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    CScopedAlgorithmProvider ownedAlgorithm(algorithm);
    BYTE blob[sizeof(BCRYPT_ECCKEY_BLOB) + sizeof(key.m_abPoint)] = {};
    const BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, sizeof(key.m_abPoint) / 2};
    memcpy(blob, &header, sizeof(header));
    memcpy(blob + sizeof(header), key.m_abPoint, sizeof(key.m_abPoint));
    BCRYPT_KEY_HANDLE publicKey = nullptr;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &publicKey, blob,
                                            sizeof(blob), 0))) {
        return false;
    }
    CScopedCngKey ownedKey(publicKey);
    BYTE hash[kSha256Size] = {};
    memcpy(hash, signedHash, sizeof(hash));
    BYTE rs[kSignatureSize] = {};
    memcpy(rs, signature, sizeof(rs));
    return BCryptVerifySignature(publicKey, nullptr, hash, sizeof(hash), rs, sizeof(rs), 0) == 0;
}

}  // namespace

bool ReadPackageSignature(const BYTE* data, DWORD length, const char* version, const CPackageKey* keys,
                          size_t keyCount, CSignedPackage& package) {
    if (length <= kVersionLengthAt || memcmp(data, kMagic, sizeof(kMagic)) != 0 ||
        ReadLittleEndian(data + sizeof(kMagic), 2) != kFormatVersion) {
        return false;
    }
    const DWORD versionLength = data[kVersionLengthAt];
    if (versionLength == 0 || versionLength > kMostVersionLength || length != kFixedSize + versionLength ||
        strlen(version) != versionLength || memcmp(data + kVersionAt, version, versionLength) != 0) {
        return false;
    }
    const BYTE* size = data + kVersionAt + versionLength;
    const BYTE* hash = size + 4;
    const BYTE* signature = hash + kSha256Size;
    CSha256 signedPart;
    BYTE signedHash[kSha256Size] = {};
    if (!signedPart.Begin() || !signedPart.Add(data, static_cast<DWORD>(signature - data)) ||
        !signedPart.Finish(signedHash)) {
        return false;
    }
    for (size_t i = 0; i < keyCount; ++i) {
        BYTE keyId[kKeyIdSize] = {};
        if (PackageKeyId(keys[i], keyId) && memcmp(keyId, data + kKeyIdAt, kKeyIdSize) == 0 &&
            VerifiesWith(keys[i], signedHash, signature)) {
            package.m_dwSize = ReadLittleEndian(size, 4);
            memcpy(package.m_abHash, hash, kSha256Size);
            return true;
        }
    }
    return false;
}

bool PackageKeyId(const CPackageKey& key, BYTE (&id)[kKeyIdSize]) {
    CSha256 hash;
    BYTE digest[kSha256Size] = {};
    if (!hash.Begin() || !hash.Add(kKeyInfoPrefix, sizeof(kKeyInfoPrefix)) ||
        !hash.Add(key.m_abPoint, sizeof(key.m_abPoint)) || !hash.Finish(digest)) {
        return false;
    }
    memcpy(id, digest, sizeof(id));
    return true;
}

bool CSha256::Begin() {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    m_hAlgorithm.Reset(algorithm);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
        return false;
    }
    m_hHash.Reset(hash);
    return true;
}

bool CSha256::Add(const void* data, DWORD length) {
    return m_hHash.IsValid() && BCRYPT_SUCCESS(BCryptHashData(
                                    m_hHash.Get(), static_cast<PUCHAR>(const_cast<void*>(data)), length, 0));
}

bool CSha256::Finish(BYTE (&digest)[kSha256Size]) {
    return m_hHash.IsValid() && BCRYPT_SUCCESS(BCryptFinishHash(m_hHash.Get(), digest, sizeof(digest), 0));
}
