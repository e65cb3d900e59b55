#include "net/package_check.h"

#include <cstring>

#include "net/server_queries.h"

CPackageCheck::CPackageCheck(const CPackageKey* keys, size_t keyCount)
    : m_pKeys(keys), m_keyCount(keyCount), m_signed(), m_dwReceived(0) {}

bool CPackageCheck::FetchSignature(CUpdaterClient& client, const char* archiveName, const char* version) {
    if (m_keyCount == 0) {
        return true;
    }
    BYTE file[kSignatureFileLimit] = {};
    DWORD length = 0;
    return FetchSignatureFile(client, archiveName, file, sizeof(file), length) &&
           Begin(file, length, version);
}

bool CPackageCheck::Begin(const BYTE* signature, DWORD length, const char* version) {
    if (m_keyCount == 0) {
        return true;
    }
    return ReadPackageSignature(signature, length, version, m_pKeys, m_keyCount, m_signed) && m_hash.Begin();
}

bool CPackageCheck::Add(const void* data, DWORD count) {
    if (m_keyCount == 0) {
        return true;
    }
    if (count > m_signed.m_dwSize - m_dwReceived) {
        return false;
    }
    m_dwReceived += count;
    return m_hash.Add(data, count);
}

bool CPackageCheck::Finish(CScopedHandle& archive, const char* archiveName) {
    archive.Close();
    if (m_keyCount == 0) {
        return true;
    }
    // The unpacker opens the archive by name sharing only reads, so the writing handle cannot stay
    // open: this one takes its place at once, and fails while anyone else holds the file for writing.
    m_hHeldArchive.Reset(CreateFileA(archiveName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    BYTE digest[kSha256Size] = {};
    return m_hHeldArchive.IsValid() && GetFileSizeEx(m_hHeldArchive.Get(), &size) &&
           size.QuadPart == m_signed.m_dwSize && m_dwReceived == m_signed.m_dwSize && m_hash.Finish(digest) &&
           memcmp(digest, m_signed.m_abHash, sizeof(digest)) == 0;
}
