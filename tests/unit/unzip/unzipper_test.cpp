// CUnzipper on real archives built by the test and on the real file system: targets, folders,
// data, failures, and the entries it refuses.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "files.h"
#include "system/folder_security.h"
#include "system/scoped_handles.h"
#include "unzip/file_placement.h"
#include "unzip/unzipper.h"
#include "unzip/update_journal.h"
#include "zip_writer.h"

namespace {

class UnzipperTest : public ::testing::Test {
protected:
    std::string WriteArchive(const std::string& bytes) {
        const std::string path = m_sandbox.Path("package.zip");
        EXPECT_TRUE(WriteWholeFile(path, bytes));
        return path;
    }
    // As the starter does: the replaced files go once the version is recorded.
    bool Extract(const std::vector<CZipEntry>& entries, const std::string& dest) {
        const bool unpacked =
            CUnzipper::ExtractArchive(WriteArchive(BuildZip(entries)).c_str(), dest.c_str());
        CUnzipper::RemoveReplacedFiles(dest.c_str());
        return unpacked;
    }
    std::string Dest() const { return m_sandbox.Path("dest"); }

    CSandbox m_sandbox;
};

TEST_F(UnzipperTest, FilesGetTheirWholeFolderChainWithoutFolderEntries) {
    ASSERT_TRUE(Extract({DeflatedEntry("a/b/c/deep.txt", "deep"), StoredEntry("top.txt", "top"),
                         DeflatedEntry("a\\b\\side.txt", "side")},
                        Dest()));
    EXPECT_EQ((std::vector<std::string>{"a\\", "a\\b\\", "a\\b\\c\\", "a\\b\\c\\deep.txt", "a\\b\\side.txt",
                                        "top.txt"}),
              ListTree(Dest()));
    EXPECT_EQ("deep", ReadWholeFile(Dest() + "\\a\\b\\c\\deep.txt"));
    EXPECT_EQ("side", ReadWholeFile(Dest() + "\\a\\b\\side.txt"));
}

TEST_F(UnzipperTest, FolderEntriesCreateNothing) {
    ASSERT_TRUE(Extract({StoredEntry("empty/", ""), StoredEntry("x\\y\\", "")}, Dest()));
    EXPECT_TRUE(FolderExists(Dest()));
    EXPECT_TRUE(ListTree(Dest()).empty());
}

TEST_F(UnzipperTest, AnArchiveWithoutEntriesFailsAfterTheDestinationExists) {
    // The library takes an end record at offset 0 for a missing one, so the bare empty archive
    // does not even open; behind a leading stub it opens and shows its 0 entries.
    const std::string empty = BuildZip({});
    EXPECT_FALSE(CUnzipper::ExtractArchive(WriteArchive(empty).c_str(), Dest().c_str()));
    EXPECT_FALSE(FolderExists(Dest()));
    EXPECT_FALSE(
        CUnzipper::ExtractArchive(WriteArchive("MZ stub" + empty).c_str(), (Dest() + "\\inner").c_str()));
    EXPECT_TRUE(FolderExists(Dest() + "\\inner"));
}

TEST_F(UnzipperTest, EitherSeparatorGivesTheSameTarget) {
    ASSERT_TRUE(Extract({StoredEntry("d1/d2/f.txt", "forward")}, Dest()));
    EXPECT_EQ("forward", ReadWholeFile(Dest() + "\\d1\\d2\\f.txt"));
    ASSERT_TRUE(Extract({StoredEntry("d1\\d2\\f.txt", "back")}, Dest()));
    EXPECT_EQ("back", ReadWholeFile(Dest() + "\\d1\\d2\\f.txt"));
    EXPECT_EQ((std::vector<std::string>{"d1\\", "d1\\d2\\", "d1\\d2\\f.txt"}), ListTree(Dest()));
}

TEST_F(UnzipperTest, ADestinationEndingInABackslashGetsNoSecondOne) {
    // The target fills the path limit exactly; one more backslash would not fit.
    const std::string dest = Dest() + "\\";
    const std::string name = std::string(MAX_PATH - 1 - dest.size() - 4, 'n') + ".txt";
    ASSERT_EQ(static_cast<size_t>(MAX_PATH - 1), dest.size() + name.size());
    ASSERT_TRUE(Extract({StoredEntry(name, "fits")}, dest));
    EXPECT_EQ("fits", ReadWholeFile(dest + name));
    // One character more does not fit, and is refused rather than cut.
    EXPECT_FALSE(Extract({StoredEntry("m" + name, "too long")}, dest));
    EXPECT_EQ(std::vector<std::string>{name}, ListTree(Dest()));
}

TEST_F(UnzipperTest, ADestinationEndingInASlashOrANameGetsABackslash) {
    ASSERT_TRUE(Extract({StoredEntry("sub/f.txt", "slash")}, Dest() + "/"));
    EXPECT_EQ("slash", ReadWholeFile(Dest() + "\\sub\\f.txt"));
    ASSERT_TRUE(Extract({StoredEntry("g.txt", "name")}, Dest()));
    EXPECT_EQ("name", ReadWholeFile(Dest() + "\\g.txt"));
}

class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::string& folder) {
        GetCurrentDirectoryA(sizeof(m_szSaved), m_szSaved);
        SetCurrentDirectoryA(folder.c_str());
    }
    ~CurrentDirectory() { SetCurrentDirectoryA(m_szSaved); }

private:
    char m_szSaved[MAX_PATH] = {};
};

TEST_F(UnzipperTest, TheCurrentDirectoryAsDotSlash) {
    const std::string archive = WriteArchive(BuildZip({DeflatedEntry("bin/app.dll", "app")}));
    CurrentDirectory inSandbox(m_sandbox.Root());
    ASSERT_TRUE(CUnzipper::ExtractArchive(archive.c_str(), "./"));
    EXPECT_EQ("app", ReadWholeFile(m_sandbox.Path("bin\\app.dll")));
}

TEST_F(UnzipperTest, ABareRelativeDestinationIsNotCreatedAndItsEntriesFail) {
    const std::string archive = WriteArchive(BuildZip({StoredEntry("f.txt", "f")}));
    CurrentDirectory inSandbox(m_sandbox.Root());
    EXPECT_FALSE(CUnzipper::ExtractArchive(archive.c_str(), "reldest"));
    EXPECT_FALSE(FolderExists(m_sandbox.Path("reldest")));
}

TEST_F(UnzipperTest, StoredAndDeflatedDataArriveByteForByte) {
    std::vector<CZipEntry> entries;
    int index = 0;
    for (size_t size : {0u, 1u, 2047u, 2048u, 2049u, 100000u}) {
        const std::string data = RandomBytes(size, static_cast<uint32_t>(size));
        entries.push_back(StoredEntry("stored" + std::to_string(index) + ".bin", data));
        entries.push_back(DeflatedEntry("deflated" + std::to_string(index) + ".bin", data));
        ++index;
    }
    entries.push_back(DeflatedEntry("text\\big.txt", TextBytes(3 * 1024 * 1024 + 17, 7)));
    CZipEntry commented = StoredEntry("commented.txt", "c");
    commented.comment = std::string(5000, 'c');  // far more than the comment buffer holds
    entries.push_back(commented);
    ASSERT_TRUE(Extract(entries, Dest()));
    for (const CZipEntry& entry : entries) {
        std::string path = Dest() + "\\" + entry.name;
        EXPECT_TRUE(FileExists(path)) << entry.name;
        EXPECT_TRUE(ReadWholeFile(path) == entry.data) << entry.name;
    }
}

TEST_F(UnzipperTest, AnExistingTargetIsReplacedByTheNewFile) {
    CreateDirectoryA(Dest().c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(Dest() + "\\old.txt", std::string(10000, 'x')));
    ASSERT_TRUE(Extract({DeflatedEntry("old.txt", "new")}, Dest()));
    EXPECT_EQ("new", ReadWholeFile(Dest() + "\\old.txt"));
}

// Another process's handle on a target, closed by a thread of the test after a while, or as soon
// as the unpack has returned; and a scanner's handle, with the sharing given, on the first file
// once placed, held until the test closes it.
struct CTimedHolder {
    HANDLE file;
    DWORD heldMs;
    HANDLE unpacked;
    std::string placedPath;
    DWORD placedSharing;
    HANDLE placed;
};

DWORD WINAPI ReleaseAfterHeldTime(LPVOID parameter) {
    CTimedHolder* holder = static_cast<CTimedHolder*>(parameter);
    const DWORD start = GetTickCount();
    while (holder->placedSharing != 0 && holder->placed == INVALID_HANDLE_VALUE &&
           GetTickCount() - start < 5000) {
        if (ReadWholeFile(holder->placedPath) == "first") {
            holder->placed = CreateFileA(holder->placedPath.c_str(), GENERIC_READ, holder->placedSharing,
                                         nullptr, OPEN_EXISTING, 0, nullptr);
        }
        Sleep(10);
    }
    WaitForSingleObject(holder->unpacked, holder->heldMs - (GetTickCount() - start));
    CloseHandle(holder->file);
    return 0;
}

// A program that has not quite ended, or a scanner reading a new file, holds a target for a moment.
// A target held longer fails the update, and the files placed go back, also while a scanner holds
// one: with delete sharing at once, without it once the next run finds the journal left.
TEST_F(UnzipperTest, ATargetHeldOpenForAMomentIsWaitedForAndOneHeldLongerChangesNothing) {
    CreateDirectoryA(Dest().c_str(), nullptr);
    const std::string locked = Dest() + "\\locked.exe";
    const std::vector<CZipEntry> package = {StoredEntry("first.txt", "first"),
                                            StoredEntry("locked.exe", "new"),
                                            StoredEntry("third.txt", "third")};
    const struct {
        DWORD heldMs;
        DWORD placedSharing;  // 0: no scanner
    } cases[] = {{2000, 0}, {15000, FILE_SHARE_READ | FILE_SHARE_DELETE}, {15000, FILE_SHARE_READ}};
    for (const auto& test : cases) {
        ASSERT_TRUE(WriteWholeFile(Dest() + "\\first.txt", "installed"));
        ASSERT_TRUE(WriteWholeFile(locked, "running"));
        DeleteFileA((Dest() + "\\third.txt").c_str());
        const std::vector<std::string> before = TreeSnapshot(Dest());
        CScopedHandle unpacked(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        CTimedHolder holder = {
            CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            test.heldMs,
            unpacked.Get(),
            Dest() + "\\first.txt",
            test.placedSharing,
            INVALID_HANDLE_VALUE};
        ASSERT_NE(INVALID_HANDLE_VALUE, holder.file);
        HANDLE releaser = CreateThread(nullptr, 0, ReleaseAfterHeldTime, &holder, 0, nullptr);
        ASSERT_NE(nullptr, releaser);
        const bool result = Extract(package, Dest());
        SetEvent(unpacked.Get());
        WaitForSingleObject(releaser, INFINITE);
        CloseHandle(releaser);
        CScopedHandle placed(holder.placed);
        if (test.heldMs < 10000) {
            EXPECT_TRUE(result);
            EXPECT_EQ("new", ReadWholeFile(locked));
            EXPECT_EQ("third", ReadWholeFile(Dest() + "\\third.txt"));
            continue;
        }
        EXPECT_FALSE(result) << test.placedSharing;
        EXPECT_TRUE(placed.IsValid()) << test.placedSharing;
        EXPECT_EQ((test.placedSharing & FILE_SHARE_DELETE) != 0 ? "installed" : "first",
                  ReadWholeFile(Dest() + "\\first.txt"));
        placed.Close();
        char package[MAX_PATH] = {};
        EXPECT_TRUE(CUnzipper::RecoverInterruptedUpdate(Dest().c_str(), package));
        EXPECT_EQ(before, TreeSnapshot(Dest())) << test.placedSharing;
    }
}

// What is retried is a file held for a moment (a deletion pending answers access denied on Windows,
// which Wine does not show), and only the pauses count against the bound, not the work between
// them, so the last files of a long placement get their tries too.
TEST(SharingDeadline, RetriesAHeldFileForTheTimeSpentWaiting) {
    const struct {
        DWORD error;
        int tries;
    } cases[] = {{ERROR_SHARING_VIOLATION, 3},
                 {ERROR_LOCK_VIOLATION, 3},
                 {ERROR_ACCESS_DENIED, 3},
                 {ERROR_FILE_NOT_FOUND, 0},
                 {ERROR_ALREADY_EXISTS, 0}};
    for (const auto& test : cases) {
        CSharingDeadline deadline(300);  // three pauses of 100 ms
        int tries = 0;
        for (; tries < 10; ++tries) {
            Sleep(150);  // the work between two tries
            SetLastError(test.error);
            if (!deadline.PauseToRetry()) {
                break;
            }
        }
        EXPECT_EQ(test.tries, tries) << test.error;
    }
}

TEST_F(UnzipperTest, AnEmptyEntryNameFailsAndWritesNothing) {
    EXPECT_FALSE(Extract({StoredEntry("first.txt", "first"), StoredEntry("", "nameless")}, Dest()));
    EXPECT_EQ(std::vector<std::string>{}, ListTree(Dest()));
}

TEST_F(UnzipperTest, WhatCannotBeOpenedLeavesNoDestination) {
    EXPECT_FALSE(CUnzipper::ExtractArchive(m_sandbox.Path("missing.zip").c_str(), Dest().c_str()));
    EXPECT_FALSE(CUnzipper::ExtractArchive(WriteArchive(RandomBytes(5000, 3)).c_str(), Dest().c_str()));
    const std::string archive = BuildZip({StoredEntry("a.txt", "a"), StoredEntry("b.txt", "b")});
    EXPECT_FALSE(CUnzipper::ExtractArchive(WriteArchive(archive.substr(0, archive.size() / 2)).c_str(),
                                           Dest().c_str()));
    EXPECT_FALSE(CUnzipper::ExtractArchive(nullptr, Dest().c_str()));
    EXPECT_FALSE(CUnzipper::ExtractArchive(WriteArchive(archive).c_str(), nullptr));
    EXPECT_FALSE(FolderExists(Dest()));
}

TEST_F(UnzipperTest, AFileInPlaceOfTheDestinationOrItsFolderFails) {
    ASSERT_TRUE(WriteWholeFile(Dest(), "a file"));
    EXPECT_FALSE(Extract({StoredEntry("a.txt", "a")}, Dest()));
    EXPECT_FALSE(Extract({StoredEntry("a.txt", "a")}, Dest() + "\\below"));
    DeleteFileA(Dest().c_str());
    ASSERT_TRUE(Extract({StoredEntry("sub", "a file named like the folder")}, Dest()));
    EXPECT_FALSE(Extract({StoredEntry("sub/a.txt", "a")}, Dest()));
    EXPECT_EQ(std::vector<std::string>{"sub"}, ListTree(Dest()));
}

TEST(Unzipper, AnObjectWithoutAnArchiveDoesNothing) {
    CUnzipper unzipper;
    ArchiveEntryInfo info = {};
    EXPECT_FALSE(unzipper.ReadEntryInfo(info));
    EXPECT_FALSE(unzipper.MoveToFirstEntry());
    EXPECT_FALSE(unzipper.MoveToNextEntry());
    EXPECT_FALSE(unzipper.IsAtEndOfList());
}

TEST(Unzipper, EnsureFolderPathCreatesMissingLevelsTopDown) {
    CSandbox sandbox;
    EXPECT_TRUE(CUnzipper::EnsureFolderPath(sandbox.Path("a\\b\\c").c_str()));
    EXPECT_TRUE(FolderExists(sandbox.Path("a\\b\\c")));
    EXPECT_TRUE(CUnzipper::EnsureFolderPath(sandbox.Path("a\\b\\c").c_str()));  // exists already
    EXPECT_TRUE(CUnzipper::EnsureFolderPath(sandbox.Path("d\\e\\").c_str()));   // trailing separator
    EXPECT_TRUE(FolderExists(sandbox.Path("d\\e")));
    ASSERT_TRUE(WriteWholeFile(sandbox.Path("file"), "x"));
    EXPECT_FALSE(CUnzipper::EnsureFolderPath(sandbox.Path("file").c_str()));
    EXPECT_FALSE(CUnzipper::EnsureFolderPath(sandbox.Path("file\\below").c_str()));
    EXPECT_FALSE(CUnzipper::EnsureFolderPath(""));
    EXPECT_FALSE(CUnzipper::EnsureFolderPath(nullptr));
    EXPECT_FALSE(CUnzipper::EnsureFolderPath(std::string(MAX_PATH, 'p').c_str()));
}

// Stored names in the encodings archivers use, unpacked under the code page the test runs in: the
// same table runs under a Japanese (932) and a Western (1252, OEM 437) setting.
std::string Encode(const std::string& utf8, UINT codePage) {
    wchar_t wide[MAX_PATH] = {};
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide, MAX_PATH);
    char bytes[MAX_PATH * 2] = {};
    BOOL lossy = FALSE;
    WideCharToMultiByte(codePage, 0, wide, -1, bytes, sizeof(bytes), nullptr, &lossy);
    EXPECT_FALSE(lossy) << utf8 << " in code page " << codePage;
    return bytes;
}

const uint16_t kUtf8Flag = 0x800;

CZipEntry FlaggedEntry(const std::string& utf8Name, const std::string& data) {
    CZipEntry entry = DeflatedEntry(utf8Name, data);
    entry.flags = kUtf8Flag;
    return entry;
}

CZipEntry InfoZipEntry(const std::string& storedName, const std::string& utf8Name, const std::string& data) {
    CZipEntry entry = DeflatedEntry(storedName, data);
    entry.extra = UnicodePathField(storedName, utf8Name);
    return entry;
}

struct NameCase {
    const char* what;
    std::vector<CZipEntry> entries;
    // The tree afterwards (UTF-8), under OEM code page 932 and 437; empty: refused, nothing written.
    std::vector<std::string> under932;
    std::vector<std::string> under437;
};

TEST_F(UnzipperTest, NamesInEveryEncodingUnderTheCodePageInForce) {
    const UINT oem = GetOEMCP();
    const char* expected = getenv("VX_EXPECTED_OEMCP");
    ASSERT_NE(nullptr, expected);
    ASSERT_EQ(static_cast<UINT>(atoi(expected)), oem) << "the locale did not take effect";
    ASSERT_EQ(oem == 932 ? 932u : 1252u, GetACP());

    CZipEntry staleField = InfoZipEntry("old.txt", "new.txt", "stale");
    staleField.extra = UnicodePathField("other.txt", "new.txt");
    CZipEntry folderEntry = StoredEntry(Encode("ソフト\\", 932), "");
    CZipEntry osx = DeflatedEntry("世界", "osx");  // UTF-8 without either mark, as macOS writes it
    const std::vector<NameCase> cases = {
        // A trail byte 0x5C ends the name: a file in code page 932, damage in any other.
        {"932, ends in a trail byte",
         {DeflatedEntry(Encode("データ\\表", 932), "1")},
         {"データ\\", "データ\\表"},
         {}},
        {"932, trail bytes inside",
         {DeflatedEntry(Encode("表\\ソフト.txt", 932), "2"),
          DeflatedEntry(Encode("能十予構申.bin", 932), "3")},
         {"能十予構申.bin", "表\\", "表\\ソフト.txt"},
         {"ò\\", "ò\\â\\", "ò\\â\\âtâg.txt", "ö\\", "ö\\Å\\", "ö\\Å\\ù\\", "ö\\Å\\ù\\ì\\", "ö\\Å\\ù\\ì\\É\\",
          "ö\\Å\\ù\\ì\\É\\.bin"}},
        {"932, nested with a folder entry",
         {folderEntry, DeflatedEntry(Encode("ソフト\\能力\\申.txt", 932), "4")},
         {"ソフト\\", "ソフト\\能力\\", "ソフト\\能力\\申.txt"},
         {"â\\", "â\\âtâg\\", "â\\âtâg\\ö\\", "â\\âtâg\\ö\\ù═\\", "â\\âtâg\\ö\\ù═\\É\\",
          "â\\âtâg\\ö\\ù═\\É\\.txt"}},
        {"UTF-8 flagged, the same names",
         {FlaggedEntry("データ/表", "1"), FlaggedEntry("表/ソフト.txt", "2"), FlaggedEntry("ソフト/", ""),
          FlaggedEntry("ソフト/能力/申.txt", "4")},
         {"ソフト\\", "ソフト\\能力\\", "ソフト\\能力\\申.txt", "データ\\", "データ\\表", "表\\",
          "表\\ソフト.txt"},
         {"ソフト\\", "ソフト\\能力\\", "ソフト\\能力\\申.txt", "データ\\", "データ\\表", "表\\",
          "表\\ソフト.txt"}},
        {"Info-ZIP's Unicode Path field",
         {InfoZipEntry("Café/naïve.txt", "Café/naïve.txt", "5")},
         {"Café\\", "Café\\naïve.txt"},
         {"Café\\", "Café\\naïve.txt"}},
        {"a Unicode Path field for another name", {staleField}, {"old.txt"}, {"old.txt"}},
        {"accented, OEM", {DeflatedEntry(Encode("Café.txt", 437), "6")}, {}, {"Café.txt"}},
        {"accented, UTF-8", {FlaggedEntry("Café.txt", "7")}, {"Café.txt"}, {"Café.txt"}},
        {"Chinese and Cyrillic, UTF-8",
         {FlaggedEntry("世界/你好.txt", "8"), FlaggedEntry("Привет.txt", "9")},
         {"Привет.txt", "世界\\", "世界\\你好.txt"},
         {"Привет.txt", "世界\\", "世界\\你好.txt"}},
        {"invalid UTF-8, flagged", {FlaggedEntry("bad\xC3(.txt", "x")}, {}, {}},
        {"invalid 932", {DeflatedEntry("\x81\x20.txt", "y")}, {}, {"ü .txt"}},
        {"Go's utf8-infozip.zip", {InfoZipEntry("世界", "世界", "infozip")}, {"世界"}, {"世界"}},
        {"Go's utf8-osx.zip", {osx}, {"荳也阜"}, {"Σ╕ûτòî"}},
        {"COM0 and superscript devices", {FlaggedEntry("COM0.txt", "d")}, {}, {}},
        {"COM0 and superscript devices", {FlaggedEntry("bin/lpt\u00b9", "d")}, {}, {}},
        {"COM0 and superscript devices", {FlaggedEntry("Com\u00b2.log", "d")}, {}, {}},
        {"COM0 and superscript devices", {FlaggedEntry("LPT\u00b3.txt", "d")}, {}, {}},
    };
    for (const NameCase& test : cases) {
        const std::vector<std::string>& tree = oem == 932 ? test.under932 : test.under437;
        EXPECT_EQ(!tree.empty(), Extract(test.entries, Dest())) << test.what;
        EXPECT_EQ(tree, ListTree(Dest())) << test.what;
        for (const CZipEntry& entry : test.entries) {
            const bool written = std::any_of(tree.begin(), tree.end(), [&](const std::string& path) {
                return path.back() != '\\' && ReadWholeFile(Dest() + "\\" + path) == entry.data;
            });
            EXPECT_TRUE(written || tree.empty() || entry.data.empty())
                << test.what << ": no file holds " << entry.data;
        }
        RemoveTree(Dest());
    }
}

// The faults a damaged or hostile package shows, unpacked over an installed product: each fails,
// and leaves every installed file as it was (bytes and times), nothing else in the destination and
// nothing outside it.
class RefusedEntryTest : public UnzipperTest {
protected:
    std::string Inner() const { return Dest() + "\\inner"; }

    void ExpectArchiveRefused(const std::string& archive, const std::string& what) {
        RemoveTree(Inner());
        ASSERT_TRUE(CUnzipper::EnsureFolderPath((Inner() + "\\data").c_str()));
        ASSERT_TRUE(WriteWholeFile(Inner() + "\\first.txt", "installed first"));
        ASSERT_TRUE(WriteWholeFile(Inner() + "\\data\\last.txt", "installed last"));
        const std::vector<std::string> installed = TreeSnapshot(Inner());
        EXPECT_FALSE(CUnzipper::ExtractArchive(WriteArchive(archive).c_str(), Inner().c_str())) << what;
        EXPECT_EQ(installed, TreeSnapshot(Inner())) << what;
        std::vector<std::string> outside;
        for (const std::string& path : ListTree(m_sandbox.Root())) {
            const std::string inside = "dest\\inner\\";
            if (path != "package.zip" && path != "dest\\" && path.compare(0, inside.size(), inside) != 0) {
                outside.push_back(path);
            }
        }
        EXPECT_TRUE(outside.empty()) << what << ": " << outside.front();
    }

    // The faulty entry last, so that every other entry has passed before it is met.
    void ExpectRefused(const CZipEntry& faulty) {
        ExpectArchiveRefused(
            BuildZip({StoredEntry("first.txt", "new first"), DeflatedEntry("data/last.txt", "new"), faulty}),
            faulty.name);
    }
};

TEST_F(RefusedEntryTest, DataThatDoesNotMatchItsCrcOrSize) {
    const std::string data = TextBytes(100000, 11);
    std::string flipped = data;
    flipped[5000] ^= 0x20;
    for (uint16_t method : {0, 8}) {
        CZipEntry entry = method == 0 ? StoredEntry("crc.txt", data) : DeflatedEntry("crc.txt", data);
        entry.hasPayload = true;
        entry.payload = flipped;
        ExpectRefused(entry);
    }
    // A deflate stream that ends early, inside an intact archive.
    CZipEntry cut = DeflatedEntry("cut.txt", data);
    cut.hasPayload = true;
    cut.payload = data.substr(0, 30000);
    ExpectRefused(cut);
}

TEST_F(RefusedEntryTest, EncryptedAndUnsupportedEntries) {
    CZipEntry secret = StoredEntry("sub/secret.bin", RandomBytes(300, 5));
    secret.flags = 0x1;
    ExpectRefused(secret);
    secret.name = "sub/";
    secret.data.clear();
    ExpectRefused(secret);
    for (uint16_t method : {12, 14}) {  // BZip2, LZMA
        CZipEntry packed = StoredEntry("packed.bin", "data");
        packed.method = method;
        ExpectRefused(packed);
    }
}

TEST_F(RefusedEntryTest, NamesThatLeaveTheDestination) {
    const std::string root = m_sandbox.Root();
    for (const std::string& name :
         {std::string("../escaped.txt"), std::string("..\\escaped.txt"), std::string("sub/../../escaped.txt"),
          std::string("sub\\..\\..\\escaped.txt"), std::string("../"), std::string("\\escaped.txt"),
          std::string("/escaped.txt"), root.substr(2) + "\\escaped.txt", "\\\\?\\" + root + "\\escaped.txt",
          std::string("\\\\localhost\\share\\escaped.txt"), root + "\\escaped.txt",
          root.substr(0, 2) + "escaped.txt", std::string("first.txt:stream"), std::string("sub\\..."),
          std::string("a.txt\0../../escaped.txt", 23), std::string("~VXstaging. /x.txt"), std::string("")}) {
        ExpectRefused(StoredEntry(name, "escaped"));
    }
    // The staging folder by any spelling; it has no short alias.
    for (const std::string& name : {std::string("./~vxstage/2"), std::string(".//~VXSTAGE/2"),
                                    std::string("~vxstage. /2"), std::string("~vxstag1/0")}) {
        ExpectRefused(StoredEntry(name, "escaped"));
    }
}

TEST_F(RefusedEntryTest, DeviceNames) {
    for (const char* name :
         {"NUL", "con.txt", "sub/AUX/readme.txt", "Com1", "lpt9.log", "prn/", "sub\\nul ", "COM0.dll"}) {
        ExpectRefused(StoredEntry(name, "device"));
    }
}

TEST_F(RefusedEntryTest, NamesAndPathsThatDoNotFit) {
    ExpectRefused(StoredEntry(std::string(300, 'n'), "overlong name"));
    ExpectRefused(StoredEntry("sub/" + std::string(255, 'n'), "overlong path"));
    ExpectRefused(StoredEntry(std::string(270, 'n') + "/", ""));
}

TEST_F(RefusedEntryTest, DamagedOrIncompleteListsOfEntries) {
    const std::string archive =
        BuildZip({StoredEntry("first.txt", "new first"), StoredEntry("second.txt", "second"),
                  StoredEntry("third.txt", "third")});
    const std::string record("PK\x01\x02", 4);
    const size_t second = archive.find(record, archive.find(record) + 1);
    ASSERT_NE(std::string::npos, second);
    std::string damaged = archive;
    damaged[second + 2] = 0x7F;
    ExpectArchiveRefused(damaged, "a damaged record");
    // The end record counts 2 entries on this disk and in all, over 3 records.
    const size_t end = archive.size() - 22;
    std::string fewer = archive;
    fewer[end + 8] = fewer[end + 10] = 2;
    ExpectArchiveRefused(fewer, "an end record counting 2 of 3 entries");
    std::string shorter = archive;
    shorter[end + 12] = static_cast<char>(shorter[end + 12] - 1);
    ExpectArchiveRefused(shorter, "an end record giving a shorter directory");
    ExpectArchiveRefused(archive.substr(0, second + 10) + archive.substr(end), "a directory cut short");
}

TEST_F(RefusedEntryTest, AnEntryMetInTheDestinationThatCannotBeReplaced) {
    // A folder where the package has a file, and a file where it has a folder: found once the
    // whole package is staged, before any installed file moves.
    ExpectArchiveRefused(BuildZip({StoredEntry("first.txt", "new first"), StoredEntry("data", "a file")}),
                         "a file over a folder");
    ExpectArchiveRefused(
        BuildZip({StoredEntry("first.txt", "new first"), StoredEntry("first.txt/x", "below")}),
        "a folder over a file");
    // Two folders made before a third cannot be: both go again.
    ExpectRefused(StoredEntry("new1/new2/bad*name/f.txt", "unplaceable"));
    // One file by its long name and by its short alias.
    const std::string longName = m_sandbox.Path("longer name.txt");
    ASSERT_TRUE(WriteWholeFile(longName, ""));
    char shortName[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameA(longName.c_str(), shortName, MAX_PATH));
    DeleteFileA(longName.c_str());
    ExpectArchiveRefused(BuildZip({StoredEntry("longer name.txt", "long"),
                                   StoredEntry(strrchr(shortName, '\\') + 1, "short")}),
                         "a file by its short alias");
    const std::string staging = m_sandbox.Path("~vxstage");
    ASSERT_TRUE(CreateDirectoryA(staging.c_str(), nullptr));
    ASSERT_NE(0u, GetShortPathNameA(staging.c_str(), shortName, MAX_PATH));
    EXPECT_STREQ("~vxstage", strrchr(shortName, '\\') + 1);
    RemoveDirectoryA(staging.c_str());
}

TEST_F(RefusedEntryTest, ArchiveLimits) {
    // The most entries an end record without ZIP64 counts: the library never says where they end.
    const std::vector<CZipEntry> folders(0xFFFF, StoredEntry("f/", ""));
    ASSERT_TRUE(Extract(folders, Dest()));
    EXPECT_EQ(std::vector<std::string>{}, ListTree(Dest()));
    // A ZIP64 end record and its locator before the end record, counting 0x20000001 entries: the
    // bytes for so many would wrap round to a block of 8.
    const std::string archive = BuildZip({StoredEntry("first.txt", "new first")});
    const size_t end = archive.size() - 22;
    const std::string directory = archive.substr(end + 12, 8);  // its size and offset
    std::string zip64("PK\x06\x06", 4);
    zip64 += std::string("\x2c\0\0\0\0\0\0\0\x2d\0\x2d\0", 12) + std::string(8, '\0');
    for (int count = 0; count < 2; ++count) {
        zip64 += std::string("\x01\0\0\x20\0\0\0\0", 8);
    }
    zip64 += directory.substr(0, 4) + std::string(4, '\0') + directory.substr(4, 4) + std::string(4, '\0');
    std::string locator("PK\x06\x07\0\0\0\0", 8);
    const uint32_t zip64At = static_cast<uint32_t>(end);
    locator += std::string(reinterpret_cast<const char*>(&zip64At), 4) + std::string("\0\0\0\0\x01\0\0\0", 8);
    std::string tail = archive.substr(end);
    tail.replace(8, 4, "\xff\xff\xff\xff");
    ExpectArchiveRefused(archive.substr(0, end) + zip64 + locator + tail, "a ZIP64 count");
    EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
}

// Runs a Unix program on the Unix names of paths (a Windows program of Wine's can start one, but gets
// no handle to wait on): for links, which Wine shows as reparse points by their names and which its
// CreateSymbolicLinkW does not make. True once exists(last path) is as wanted.
bool RunOnUnixNames(const char* program, const char* options, const std::vector<std::string>& paths,
                    bool exists) {
    typedef char*(CDECL * UnixName)(LPCWSTR);
    const UnixName unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    std::string command = std::string(program) + " " + options;
    for (const std::string& path : paths) {
        const std::wstring wide(path.begin(), path.end());  // the sandbox's paths are ASCII
        char* name = unixName != nullptr ? unixName(wide.c_str()) : nullptr;
        if (name == nullptr) {
            return false;
        }
        command += std::string(" ") + name;  // Wine splits a Unix program's command line at blanks
        HeapFree(GetProcessHeap(), 0, name);
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const std::string windowsProgram = std::string("Z:") + program;
    if (!CreateProcessA(windowsProgram.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    for (int tries = 0; tries < 100; ++tries) {
        if ((GetFileAttributesA(paths.back().c_str()) != INVALID_FILE_ATTRIBUTES) == exists) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

// What another user can plant under a staging name, before or by today's version: the package
// still installs, and nothing a link or a second name reaches changes, read-only flag included.
TEST_F(UnzipperTest, LinksPlantedUnderAStagingNameAreNeitherFollowedNorReset) {
    const std::string outside = m_sandbox.Path("outside");
    const std::string kept = outside + "\\keep.txt";
    ASSERT_TRUE(CUnzipper::EnsureFolderPath(outside.c_str()));
    ASSERT_TRUE(WriteWholeFile(kept, "another user's"));
    ASSERT_TRUE(SetFileAttributesA(kept.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::vector<std::string> before = TreeSnapshot(outside);
    const struct {
        const char* staging;
        const char* planted;  // below the staging name; "" for the name itself
        char kind;            // folder link or hard link: Wine shows a file link as its file
    } cases[] = {{"~vxstaging", "", 'd'},
                 {"~vxstage", "", 'd'},
                 {"~vxstaging", "sub\\in", 'd'},
                 {"~vxstaging", "in", 'h'},
                 {"~vxstage", "sub\\in", 'h'}};
    for (const auto& test : cases) {
        const std::string what = std::string(test.staging) + "\\" + test.planted + " " + test.kind;
        const std::string dest = m_sandbox.Path("dest" + std::to_string(&test - cases));
        const std::string planted = dest + "\\" + test.staging + (*test.planted ? "\\" : "") + test.planted;
        ASSERT_TRUE(CUnzipper::EnsureFolderPath(planted.substr(0, planted.rfind('\\')).c_str()));
        if (test.kind == 'h') {
            ASSERT_TRUE(CreateHardLinkA(planted.c_str(), kept.c_str(), nullptr)) << what;
        } else {
            ASSERT_TRUE(RunOnUnixNames("/bin/ln", "-s", {test.kind == 'd' ? outside : kept, planted}, true));
        }
        EXPECT_TRUE(Extract({StoredEntry("first.txt", "new first")}, dest)) << what;
        EXPECT_EQ("new first", ReadWholeFile(dest + "\\first.txt")) << what;
        EXPECT_EQ(before, TreeSnapshot(outside)) << what;
        EXPECT_NE(0u, GetFileAttributesA(kept.c_str()) & FILE_ATTRIBUTE_READONLY) << what;
        if (test.kind != 'h') {
            ASSERT_TRUE(RunOnUnixNames("/bin/rm", "-f", {planted}, false));  // before the sandbox goes
        }
    }
}

ULONGLONG IdentityOf(const std::string& path) {
    CScopedHandle file(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
    ULONGLONG id = 0;
    EXPECT_TRUE(file.IsValid() && ReadFileIdentity(file.Get(), id)) << path;
    return id;
}

// A journal of one entry in a staging folder: the file index.old is to go back to target in place
// of the file at placedPath.
void WriteJournal(const std::string& staging, DWORD index, const std::string& target,
                  const std::string& placedPath, CUpdateJournal& journal) {
    CJournalEntry entry = {index,
                           true,
                           IdentityOf(staging + "\\0\\" + std::to_string(index) + ".old"),
                           IdentityOf(placedPath),
                           {}};
    std::copy(target.begin(), target.end(), entry.target);
    ASSERT_TRUE(journal.Add(entry));
    ASSERT_TRUE(journal.Write(std::wstring(staging.begin(), staging.end()).c_str()));
}

// An update of three files that its process's end cut short, made as the unpacker leaves it, then
// the next run: the product must be all old or all new, and say which.
TEST_F(UnzipperTest, AnUpdateCutShortIsFinishedByTheNextRun) {
    const std::string staging = Dest() + "\\~vxstage";
    const char* const targets[] = {"first.txt", "data\\last.txt", "new\\added.txt"};
    const char* const installed[] = {"installed first", "installed last", nullptr};
    // The first entries wait in the staging folder's subfolder 0.
    const char* const renames[][2] = {{"first.txt", "~vxstage\\0\\0.old"},
                                      {"~vxstage\\0\\0", "first.txt"},
                                      {"data\\last.txt", "~vxstage\\0\\1.old"},
                                      {"~vxstage\\0\\1", "data\\last.txt"},
                                      {"~vxstage\\0\\2", "new\\added.txt"}};
    const struct {
        const char* what;
        int renamed;     // -1: ended before the journal was written
        bool committed;  // with the journal deleted and a replaced file too, when -1 follows
        const char* product;
    } cases[] = {{"before the journal", -1, false, "old"},
                 {"between two files", 2, false, "old"},
                 {"between the two renames of one file", 3, false, "old"},
                 {"after the commit mark", 5, true, "new"},
                 {"while the replaced files are deleted", 6, true, "new"}};
    const std::string damaged = BuildZip({StoredEntry("first.txt", "x")}).replace(30 + 9, 1, "y");
    const std::string good = BuildZip({StoredEntry("first.txt", "8"), StoredEntry("data/last.txt", "8")});
    for (const auto& test : cases) {
        for (const char* next : {"a damaged package", "version current", "a good package"}) {
            const std::string what = std::string(test.what) + ", then " + next;
            RemoveTree(Dest());
            ASSERT_TRUE(CUnzipper::EnsureFolderPath((Dest() + "\\data").c_str()));
            // Made for the new file before the journal, and not listed in it: it stays on a rollback.
            ASSERT_TRUE(test.renamed < 0 || CreateDirectoryA((Dest() + "\\new").c_str(), nullptr));
            ASSERT_TRUE(CreateProtectedFolder(std::wstring(staging.begin(), staging.end()).c_str()) &&
                        CreateDirectoryA((staging + "\\0").c_str(), nullptr));
            CUpdateJournal journal;
            ASSERT_TRUE(journal.Begin(L"7.zip", 3));
            for (int file = 0; file < 3; ++file) {
                const std::string target = Dest() + "\\" + targets[file];
                const std::string staged = staging + "\\0\\" + std::to_string(file);
                ASSERT_TRUE(WriteWholeFile(staged, std::string("new ") + targets[file]));
                CJournalEntry entry = {
                    static_cast<DWORD>(file), installed[file] != nullptr, 0, IdentityOf(staged), {}};
                if (entry.hasOld) {
                    ASSERT_TRUE(WriteWholeFile(target, installed[file]));
                    entry.oldId = IdentityOf(target);
                }
                std::copy(targets[file], targets[file] + strlen(targets[file]), entry.target);
                ASSERT_TRUE(journal.Add(entry));
            }
            ASSERT_TRUE(test.renamed < 0 ||
                        journal.Write(std::wstring(staging.begin(), staging.end()).c_str()));
            for (int rename = 0; rename < test.renamed && rename < 5; ++rename) {
                ASSERT_TRUE(MoveFileA((Dest() + "\\" + renames[rename][0]).c_str(),
                                      (Dest() + "\\" + renames[rename][1]).c_str()));
            }
            ASSERT_TRUE(!test.committed || journal.MarkCommitted());
            if (test.renamed > 5) {
                ASSERT_TRUE(DeleteFileA((staging + "\\journal").c_str()) &&
                            DeleteFileA((staging + "\\0\\0.old").c_str()));
            }

            char package[MAX_PATH] = {};
            if (strcmp(next, "a damaged package") == 0) {
                EXPECT_FALSE(CUnzipper::ExtractArchive(WriteArchive(damaged).c_str(), Dest().c_str()))
                    << what;
            } else {
                EXPECT_TRUE(CUnzipper::RecoverInterruptedUpdate(Dest().c_str(), package)) << what;
                EXPECT_STREQ(test.committed && test.renamed <= 5 ? "7.zip" : "", package) << what;
            }
            if (strcmp(next, "a good package") == 0) {
                EXPECT_TRUE(CUnzipper::ExtractArchive(WriteArchive(good).c_str(), Dest().c_str())) << what;
            }
            CUnzipper::RemoveReplacedFiles(Dest().c_str());
            std::vector<std::string> expected = {"data\\", "data\\last.txt", "first.txt"};
            if (test.renamed >= 0) {
                expected.push_back("new\\");
            }
            if (strcmp(test.product, "new") == 0) {
                expected.push_back("new\\added.txt");
            }
            EXPECT_EQ(expected, ListTree(Dest())) << what;
            for (int file = 0; file < 2; ++file) {
                const std::string data = ReadWholeFile(Dest() + "\\" + targets[file]);
                EXPECT_EQ(strcmp(next, "a good package") == 0 ? "8"
                          : strcmp(test.product, "new") == 0  ? std::string("new ") + targets[file]
                                                              : installed[file],
                          data)
                    << what;
            }
        }
    }
}

// A replaced file that cannot be deleted yet (a program still maps it) fails nothing and blocks no
// later update: it stays under its staging name, which the next update does not use, until a later
// one can delete it.
TEST_F(UnzipperTest, AReplacedFileThatCannotBeDeletedBlocksNoLaterUpdate) {
    ASSERT_TRUE(Extract({StoredEntry("vxagent.exe", "1")}, Dest()));
    ASSERT_TRUE(CUnzipper::ExtractArchive(WriteArchive(BuildZip({StoredEntry("vxagent.exe", "2")})).c_str(),
                                          Dest().c_str()));
    const std::string replaced = Dest() + "\\~vxstage\\0\\0.old";
    CScopedHandle mapped(
        CreateFileA(replaced.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(mapped.IsValid());
    CUnzipper::RemoveReplacedFiles(Dest().c_str());
    EXPECT_TRUE(FileExists(replaced));
    EXPECT_TRUE(Extract({StoredEntry("vxagent.exe", "3")}, Dest()));
    EXPECT_EQ("3", ReadWholeFile(Dest() + "\\vxagent.exe"));
    mapped.Close();
    EXPECT_TRUE(Extract({StoredEntry("vxagent.exe", "4")}, Dest()));
    EXPECT_EQ(std::vector<std::string>{"vxagent.exe"}, ListTree(Dest()));
}

// A journal in a folder that another user could have made or written moves nothing into the
// product, nor one whose target is not an entry name the unpacker accepts. Wine reads a folder's
// owner and DACL from its Unix owner and mode, so the folders are made by install(1).
TEST_F(UnzipperTest, AJournalAnotherUserCouldHaveWrittenMovesNothing) {
    const struct {
        const char* what;
        const char* made;  // install(1)'s options
        const char* target;
        bool moved;
    } cases[] = {{"a folder as the starter makes it", "-d -m 0700", "vxagent.exe", true},
                 {"another owner", "-d -o nobody -m 0700", "vxagent.exe", false},
                 {"others may write", "-d -m 0777", "vxagent.exe", false},
                 {"others may read", "-d -m 0755", "vxagent.exe", false},
                 {"a target outside", "-d -m 0700", "..\\vxagent.exe", false}};
    for (const auto& test : cases) {
        const std::string dest = m_sandbox.Path("dest" + std::to_string(&test - cases));
        const std::string staging = dest + "\\~vxstage";
        const std::string agent = dest + "\\vxagent.exe";
        ASSERT_TRUE(CUnzipper::EnsureFolderPath(dest.c_str()));
        ASSERT_TRUE(WriteWholeFile(agent, "installed"));
        ASSERT_TRUE(WriteWholeFile(m_sandbox.Path("vxagent.exe"), "installed"));
        ASSERT_TRUE(RunOnUnixNames("/usr/bin/install", test.made, {staging}, true))
            << test.what << " (as root)";
        ASSERT_TRUE(CreateDirectoryA((staging + "\\0").c_str(), nullptr) &&
                    WriteWholeFile(staging + "\\0\\0.old", "planted"));
        CUpdateJournal journal;
        ASSERT_TRUE(journal.Begin(L"7.zip", 1));
        WriteJournal(staging, 0, test.target, dest + "\\" + test.target, journal);
        char package[MAX_PATH] = {};
        EXPECT_TRUE(CUnzipper::RecoverInterruptedUpdate(dest.c_str(), package)) << test.what;
        EXPECT_EQ(test.moved ? "planted" : "installed", ReadWholeFile(agent)) << test.what;
        EXPECT_EQ("installed", ReadWholeFile(m_sandbox.Path("vxagent.exe"))) << test.what;
    }
}

// Whether the file's DACL allows Everyone anything: Wine reads a DACL from the Unix mode bits, the
// bits for others as an ACE for Everyone.
bool AllowsEveryone(const std::string& path) {
    CScopedHandle file(
        CreateFileA(path.c_str(), READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    BYTE everyone[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof(everyone);
    EXPECT_TRUE(file.IsValid() && CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size) &&
                GetSecurityInfo(file.Get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &dacl, nullptr, &descriptor) == ERROR_SUCCESS)
        << path;
    CScopedLocalBlock ownedDescriptor(descriptor);
    for (DWORD index = 0; dacl != nullptr && index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (GetAce(dacl, index, &ace) &&
            EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, everyone)) {
            return true;
        }
    }
    return false;
}

// A file made in the staging folder keeps its DACL when moved into place: it gets the one a new file
// in the destination inherits, not the staging folder's.
TEST_F(UnzipperTest, PlacedFilesGetTheSecurityOfTheirDestination) {
    for (const std::string mode : {"0755", "0700"}) {
        const std::string dest = m_sandbox.Path("dest" + mode);
        ASSERT_TRUE(RunOnUnixNames("/usr/bin/install", ("-d -m " + mode).c_str(), {dest}, true));
        ASSERT_TRUE(Extract({StoredEntry("f.txt", "f")}, dest));
        EXPECT_EQ(mode == "0755", AllowsEveryone(dest + "\\f.txt")) << mode;
    }
}

}  // namespace
