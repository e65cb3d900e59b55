// vxtrustca CA.der: adds a test CA to the Root store of the Wine prefix it runs in, so that the
// test servers' certificates are trusted there and nowhere else.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: vxtrustca CA.der\n");
        return 2;
    }
    FILE* file = fopen(argv[1], "rb");
    if (file == nullptr) {
        fprintf(stderr, "vxtrustca: cannot open %s\n", argv[1]);
        return 1;
    }
    std::vector<BYTE> der(65536);
    const size_t size = fread(der.data(), 1, der.size(), file);
    fclose(file);
    if (!CertAddEncodedCertificateToSystemStoreA("Root", der.data(), static_cast<DWORD>(size))) {
        fprintf(stderr, "vxtrustca: failed, error %lu\n", GetLastError());
        return 1;
    }
    return 0;
}
