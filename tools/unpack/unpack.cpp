// vxunpack ARCHIVE FOLDER: unpacks a package exactly as the starter does, for the package tool's
// check: FOLDER (created if missing) becomes the current directory and CUnzipper unpacks into "./".
// Prints the process's ANSI and OEM code pages, which decide how names are read, then the result.
#include <windows.h>

#include <cstdio>

#include "unzip/unzipper.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: vxunpack ARCHIVE FOLDER\n");
        return 2;
    }
    printf("code pages: ANSI %u, OEM %u\n", GetACP(), GetOEMCP());
    char archive[MAX_PATH] = {};
    const DWORD length = GetFullPathNameA(argv[1], MAX_PATH, archive, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        fprintf(stderr, "vxunpack: the archive path does not fit\n");
        return 2;
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
