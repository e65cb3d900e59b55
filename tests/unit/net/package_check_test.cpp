// The check a starter built with keys makes of a package, from its signature file to the archive held
// for the unpacker: one row per way a signature file or package can differ from what was signed.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "download_fixture.h"
#include "net/http_connection.h"
#include "net/package_check.h"
#include "testbed.h"
#include "zip_writer.h"

namespace {

// A key pair made by CNG for the run; the public point is what a build compiles in.
struct CTestKey {
    CTestKey() {
        BCRYPT_ALG_HANDLE algorithm = nullptr;
        BCRYPT_KEY_HANDLE key = nullptr;
        BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
        m_hAlgorithm.Reset(algorithm);
        BCryptGenerateKeyPair(algorithm, &key, 256, 0);
        m_hKey.Reset(key);
        BCryptFinalizeKeyPair(key, 0);
        BYTE blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64] = {};
        ULONG length = 0;
        EXPECT_EQ(0, BCryptExportKey(key, nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof(blob), &length, 0));
        memcpy(m_public.m_abPoint, blob + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    }
    // The whole signature file: the layout of docs/protocol.md, then r and s over it.
    std::string SignatureFile(const std::string& version, const std::string& package) const {
        BYTE id[kKeyIdSize] = {};
        BYTE hash[kSha256Size] = {};
        CSha256 packageHash;
        EXPECT_TRUE(PackageKeyId(m_public, id) && packageHash.Begin() &&
                    packageHash.Add(package.data(), static_cast<DWORD>(package.size())) &&
                    packageHash.Finish(hash));
        const DWORD size = static_cast<DWORD>(package.size());
        std::string file = std::string("VXSG\x01\x00", 6) +
                           std::string(reinterpret_cast<char*>(id), sizeof(id)) +
                           static_cast<char>(version.size()) + version +
                           std::string(reinterpret_cast<const char*>(&size), 4) +
                           std::string(reinterpret_cast<char*>(hash), sizeof(hash));
        CSha256 signedPart;
        BYTE rs[64] = {};
        ULONG length = 0;
        EXPECT_TRUE(signedPart.Begin() && signedPart.Add(file.data(), static_cast<DWORD>(file.size())) &&
                    signedPart.Finish(hash));
        EXPECT_EQ(0, BCryptSignHash(m_hKey.Get(), nullptr, hash, sizeof(hash), rs, sizeof(rs), &length, 0));
        return file + std::string(reinterpret_cast<char*>(rs), sizeof(rs));
    }

    CScopedAlgorithmProvider m_hAlgorithm;
    CScopedCngKey m_hKey;
    CPackageKey m_public = {};
};

// What one row checks: compiled-in keys, the signature file served, the version and bytes received.
struct CCheckCase {
    std::vector<CPackageKey> keys;
    std::string signature;
    std::string version;
    std::string package;
};

class PackageCheckTest : public DownloadTest {
protected:
    // Runs the starter's steps: the signature, the package written and hashed block by block, the
    // written archive held.
    bool Check(const CCheckCase& c, CPackageCheck& check) {
        CScopedHandle archive(CreateFileA("2.1.zip", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        bool intact =
            archive.IsValid() && check.Begin(reinterpret_cast<const BYTE*>(c.signature.data()),
                                             static_cast<DWORD>(c.signature.size()), c.version.c_str());
        for (size_t at = 0; intact && at < c.package.size(); at += 4096) {
            const DWORD count = static_cast<DWORD>(std::min<size_t>(4096, c.package.size() - at));
            DWORD written = 0;
            intact = WriteFile(archive.Get(), c.package.data() + at, count, &written, nullptr) &&
                     check.Add(c.package.data() + at, count);
        }
        return check.Finish(archive, "2.1.zip") && intact;
    }

    CTestKey m_first, m_second, m_other;
};

TEST_F(PackageCheckTest, OnlyTheSignedPackageOfThisVersionByACompiledInKeyPasses) {
    const std::string package = StandardPackage(10000);
    const struct {
        const char* what;
        std::function<void(CCheckCase&)> change;
        bool passes;
    } rows[] = {
        {"a good signature", [](CCheckCase&) {}, true},
        {"by the second key", [&](CCheckCase& c) { c.signature = m_second.SignatureFile("2.1", package); },
         true},
        {"by a key not compiled in",
         [&](CCheckCase& c) { c.signature = m_other.SignatureFile("2.1", package); }, false},
        {"magic", [](CCheckCase& c) { c.signature[0] ^= 1; }, false},
        {"format version", [](CCheckCase& c) { c.signature[4] = 2; }, false},
        {"key id", [](CCheckCase& c) { c.signature[6] ^= 1; }, false},
        {"version length", [](CCheckCase& c) { c.signature[14] = 4; }, false},
        {"version text", [](CCheckCase& c) { c.signature[15] = '3'; }, false},
        {"size", [](CCheckCase& c) { c.signature[18] ^= 1; }, false},
        {"hash", [](CCheckCase& c) { c.signature[30] ^= 1; }, false},
        {"r", [](CCheckCase& c) { c.signature[60] ^= 1; }, false},
        {"s", [](CCheckCase& c) { c.signature[100] ^= 1; }, false},
        {"truncated", [](CCheckCase& c) { c.signature.pop_back(); }, false},
        {"empty", [](CCheckCase& c) { c.signature.clear(); }, false},
        {"oversized", [](CCheckCase& c) { c.signature += '\0'; }, false},
        {"another version", [](CCheckCase& c) { c.version = "2.2"; }, false},
        {"the empty version of a failed query", [](CCheckCase& c) { c.version = ""; }, false},
        {"signed for another version",
         [&](CCheckCase& c) { c.signature = m_first.SignatureFile("2.10", package); }, false},
        {"package a byte longer", [](CCheckCase& c) { c.package += 'x'; }, false},
        {"package a byte shorter", [](CCheckCase& c) { c.package.pop_back(); }, false},
        {"package with a byte changed", [](CCheckCase& c) { c.package[5000] ^= 1; }, false},
        {"no keys compiled in checks nothing",
         [](CCheckCase& c) {
             c.keys.clear();
             c.signature.clear();
         },
         true},
    };
    for (const auto& row : rows) {
        CCheckCase c = {
            {m_first.m_public, m_second.m_public}, m_first.SignatureFile("2.1", package), "2.1", package};
        row.change(c);
        CPackageCheck check(c.keys.data(), c.keys.size());
        EXPECT_EQ(row.passes, Check(c, check)) << row.what;
        check.Release();
        EXPECT_TRUE(DeleteFileA("2.1.zip")) << row.what;
    }
}

TEST_F(PackageCheckTest, CheckedArchiveStaysHeldForReadingOnlyUntilReleased) {
    const std::string package = StandardPackage();
    CCheckCase c = {{m_first.m_public}, m_first.SignatureFile("2.1", package), "2.1", package};
    CPackageCheck check(c.keys.data(), c.keys.size());
    ASSERT_TRUE(Check(c, check));
    const auto opens = [](DWORD access, DWORD share) {
        CScopedHandle file(CreateFileA("2.1.zip", access, share, nullptr, OPEN_EXISTING, 0, nullptr));
        return file.IsValid();
    };
    EXPECT_TRUE(opens(GENERIC_READ, FILE_SHARE_READ)) << "as the unpacker opens it";
    EXPECT_FALSE(opens(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    EXPECT_FALSE(DeleteFileA("2.1.zip"));
    check.Release();
    EXPECT_TRUE(opens(GENERIC_WRITE, 0));
}

TEST_F(PackageCheckTest, SignatureFileIsFetchedBesideThePackageAndRefusedWhenMissingOrOversized) {
    const std::string signature = m_first.SignatureFile("2.1", StandardPackage());
    const struct {
        const char* what;
        std::string served;
        bool fetched;
    } rows[] = {
        {"served", signature, true},
        {"grown past the limit", signature + std::string(kSignatureFileLimit, '\0'), false},
        {"missing", "", false},
    };
    for (const auto& row : rows) {
        testbed::SetScenario(
            row.served.empty()
                ? R"({"routes": {}})"
                : "{\"routes\": {\"443 /download/app/customer/2.1.zip.sig\": {\"body_file\": \"" +
                      ServedFile(row.served) + "\"}}}");
        testbed::ClearRequests();
        CPackageCheck check(&m_first.m_public, 1);
        EXPECT_EQ(row.fetched, check.FetchSignature(g_updater, "2.1.zip", "2.1")) << row.what;
        EXPECT_EQ(std::vector<std::string>{"443 /download/app/customer/2.1.zip.sig"}, RequestedPaths())
            << row.what;
    }
}

}  // namespace
