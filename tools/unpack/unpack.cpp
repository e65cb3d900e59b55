// vxunpack ARCHIVE FOLDER [SIGNATURE VERSION KEY]: unpacks a package exactly as the starter does, for
// the package tool's check: FOLDER (created if missing) becomes the current directory and CUnzipper
// unpacks into "./". Given a signature file, the version text it must name and a public key (X and
// Y in 128 hex digits), it first makes the starter's check of a package signed with that key.
// Prints the process's ANSI and OEM code pages, which decide how names are read, then the result.
#include <windows.h>

#include <cstdio>

#include "net/package_check.h"
#include "unzip/unzipper.h"

namespace {

bool ParseKey(const char* hex, CPackageKey& key) {
    for (size_t i = 0; i < sizeof(key.m_abPoint); ++i) {
        unsigned value = 0;
        if (sscanf(hex + 2 * i, "%2x", &value) != 1) {
            return false;
        }
        key.m_abPoint[i] = static_cast<BYTE>(value);
    }
    return hex[2 * sizeof(key.m_abPoint)] == '\0';
}

// The starter's steps over a file: the signature, then the archive hashed block by block and held.
bool CheckSignature(CPackageCheck& check, const char* signaturePath, const char* version,
                    const char* archive) {
    BYTE signature[kSignatureFileLimit + 1] = {};
    DWORD length = 0;
    CScopedHandle file(
        CreateFileA(signaturePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.IsValid() || !ReadFile(file.Get(), signature, sizeof(signature), &length, nullptr) ||
        !check.Begin(signature, length, version)) {
        return false;
    }
    file.Reset(CreateFileA(archive, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    BYTE block[4096] = {};
    DWORD count = 0;
    do {
        if (!file.IsValid() || !ReadFile(file.Get(), block, sizeof(block), &count, nullptr) ||
            !check.Add(block, count)) {
            return false;
        }
    } while (count != 0);
    return check.Finish(file, archive);
}

}  // namespace

int main(int argc, char** argv) {
    CPackageKey key = {};
    if ((argc != 3 && argc != 6) || (argc == 6 && !ParseKey(argv[5], key))) {
        fprintf(stderr, "usage: vxunpack ARCHIVE FOLDER [SIGNATURE VERSION KEY]\n");
        return 2;
    }
    printf("code pages: ANSI %u, OEM %u\n", GetACP(), GetOEMCP());
    char archive[MAX_PATH] = {};
    const DWORD length = GetFullPathNameA(argv[1], MAX_PATH, archive, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        fprintf(stderr, "vxunpack: the archive path does not fit\n");
        return 2;
    }
    CPackageCheck check(&key, argc == 6 ? 1 : 0);
    if (argc == 6) {
        const bool good = CheckSignature(check, argv[3], argv[4], archive);
        printf("signature: %s\n", good ? "good" : "refused");
        if (!good) {
            return 1;
        }
    }
    if (!CUnzipper::EnsureFolderPath(argv[2]) || !SetCurrentDirectoryA(argv[2])) {
        fprintf(stderr, "vxunpack: cannot enter %s\n", argv[2]);
        return 2;
    }
    const bool unpacked = CUnzipper::ExtractArchive(archive, "./");
    CUnzipper::RemoveReplacedFiles("./");
    printf("%s\n", unpacked ? "unpacked" : "refused");
    return unpacked ? 0 : 1;
}
