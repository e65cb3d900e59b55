// DownloadPackage against the test bed's update server: what is requested, what lands in the
// working folder, what the result says, and what the progress bar is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "download_fixture.h"
#include "app/globals.h"
#include "net/http_connection.h"
#include "net/package_download.h"
#include "testbed.h"
#include "unzip/unzipper.h"
#include "zip_writer.h"

namespace {

using Paths = std::vector<std::string>;

SYSTEMTIME LocalLastWriteTime(const std::string& path) {
    SYSTEMTIME local = {};
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    FILETIME localTime = {};
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) &&
        FileTimeToLocalFileTime(&data.ftLastWriteTime, &localTime)) {
        FileTimeToSystemTime(&localTime, &local);
    }
    return local;
}

void ExpectClimbingTo100(const std::vector<UINT>& positions) {
    ASSERT_GE(positions.size(), 2u);
    for (size_t i = 1; i < positions.size(); ++i) {
        EXPECT_LE(positions[i - 1], positions[i]) << "at " << i;
    }
    // The last data block and the final empty read both stand at 100.
    EXPECT_EQ(100u, positions[positions.size() - 2]);
    EXPECT_EQ(100u, positions.back());
}

using PackageDownloadTest = DownloadTest;

TEST_F(PackageDownloadTest, OutdatedPackageIsRequestedByNameUnpackedAndDeleted) {
    ServePackage("2.5.1", StandardPackage(64 * 1024));
    ASSERT_TRUE(DownloadPackage(g_updater, "2.5.1", m_folder->Root().c_str()));
    WindowWasStarted();
    // Until the files it replaced are deleted, a run that ended leaves the next one its version.
    char finished[10] = {};
    EXPECT_TRUE(RecoverInterruptedUpdate(finished));
    EXPECT_STREQ("2.5.1", finished);
    CUnzipper::RemoveReplacedFiles("./");

    EXPECT_EQ(Paths{"443 /download/app/customer/2.5.1.zip"}, RequestedPaths());
    const auto requests = testbed::Requests();
    EXPECT_EQ("HTTP/1.0", requests[0].version);
    EXPECT_EQ("Vantorix", requests[0].userAgent);

    Paths expected = StandardPackageTree();
    expected.insert(expected.begin() + 2, "bin\\bulk.bin");
    EXPECT_EQ(expected, WorkingTree()) << "unpacked in place, archive gone";
    EXPECT_EQ("mode=1\r\n", ReadWholeFile(WorkingPath("bin\\tools\\helper.cfg")));
    EXPECT_EQ(TextBytes(5000, 7), ReadWholeFile(WorkingPath("bin\\agent.dat")));
    const SYSTEMTIME time = LocalLastWriteTime(WorkingPath("bin\\tools\\helper.cfg"));
    EXPECT_EQ(2019, time.wYear);
    EXPECT_EQ(5, time.wMonth);
    EXPECT_EQ(17, time.wDay);
    EXPECT_EQ(10, time.wHour);
    EXPECT_EQ(20, time.wMinute);
    EXPECT_EQ(30, time.wSecond);

    ASSERT_TRUE(m_observer->WaitForWindow(0, 10000));
    EXPECT_TRUE(m_observer->WaitForAllThreads(10000)) << "the window was closed";
    EXPECT_EQ(1u, m_observer->WindowCount());
}

TEST_F(PackageDownloadTest, EmptyVersionAsksForDotZip) {
    ServePackage("", StandardPackage());
    ASSERT_TRUE(Download(""));
    EXPECT_EQ(Paths{"443 /download/app/customer/.zip"}, RequestedPaths());
    EXPECT_EQ(StandardPackageTree(), WorkingTree());
}

TEST_F(PackageDownloadTest, PrintableVersionTextIsSentAsItIs) {
    ServePackage("v1.0-rc_2~!", StandardPackage());
    ASSERT_TRUE(Download("v1.0-rc_2~!"));
    EXPECT_EQ(Paths{"443 /download/app/customer/v1.0-rc_2~!.zip"}, RequestedPaths());
}

TEST_F(PackageDownloadTest, AnswerOtherThan200LeavesNoFileAndNoWindow) {
    for (const char* status : {"404", "500", "403"}) {
        testbed::SetScenario(std::string(R"({"routes": {"443 *": {"status": )") + status +
                             R"(, "body": "PK not a package"}}})");
        EXPECT_FALSE(Download("2.5.1")) << status;
        EXPECT_EQ(Paths{}, WorkingTree()) << status;
    }
    EXPECT_EQ(3u, RequestedPaths().size());
    Sleep(500);  // time enough for a window's thread to show up if one had been started
    EXPECT_EQ(0u, m_observer->WindowCount());
}

// A package redirected to plain HTTP arrives all the same under Wine; it must not even be written.
TEST_F(PackageDownloadTest, OnlyAPackageOverTlsIsUnpacked) {
    struct Case {
        unsigned short port;
        int status;
        bool installed;
    };
    for (const Case& c : {Case{testbed::kProbePort, 302, false}, Case{testbed::kProbePort, 301, false},
                          Case{testbed::kBackupPort, 302, true}, Case{testbed::kBackupPort, 301, true}}) {
        const std::string trace = std::to_string(c.port) + " " + std::to_string(c.status);
        SCOPED_TRACE(trace);
        ServeRedirectedPackage("2.5.1", StandardPackage(), c.port, c.status);
        // Wine points the connection at a redirect's target for good: each case starts afresh.
        ASSERT_TRUE(g_updater.OpenSession("localhost", testbed::kPrimaryPort));
        testbed::ClearRequests();
        EXPECT_EQ(c.installed, Download("2.5.1"));
        EXPECT_EQ((Paths{"443 /download/app/customer/2.5.1.zip",
                         std::to_string(c.port) + " /download/app/customer/2.5.1.zip"}),
                  RequestedPaths());
        EXPECT_EQ(c.installed ? StandardPackageTree() : Paths{}, WorkingTree());
        if (!c.installed) {
            Sleep(500);  // time enough for a window's thread to show up if one had been started
            EXPECT_EQ(0u, m_observer->WindowCount());
        }
    }
}

TEST_F(PackageDownloadTest, RefusedVersionTextsRequestNothingAndWriteNothing) {
    ServeOnEveryPath();
    const std::vector<std::string> refused = {
        "1 0",
        " 1",
        "1\r\n",
        "1\t",
        "a/b",
        "a\\b",
        "..\\x",
        "C:x",
        "1*",
        "1?",
        "\"1\"",
        "<1>",
        "1|2",
        "%31",
        "1#2",
        "\x7f",
        "1\xe9",
        "\x01",
        "NUL",
        "nul",
        "Com1",
        "lpt9",
        "COM0",
        "CON",
        "aux",
        "PRN",
        "CON.1",
        "1234567890123456",  // its archive name would not fit
    };
    for (const std::string& version : refused) {
        EXPECT_FALSE(Download(version)) << version;
    }
    EXPECT_EQ(Paths{}, RequestedPaths());
    EXPECT_EQ(Paths{}, WorkingTree());
    EXPECT_EQ(0u, m_observer->WindowCount());

    // Look-alikes of device names are ordinary names.
    for (const char* version : {"COM10", "CONSOLE", "123456789012345"}) {
        EXPECT_TRUE(Download(version)) << version;
    }
    EXPECT_EQ(3u, RequestedPaths().size());
}

TEST_F(PackageDownloadTest, CutOffBodyFailsAndUnpacksNothing) {
    const std::string package = StandardPackage(64 * 1024);
    ServePackage("2.5.1", package, "\"cut_after\": 30000");
    EXPECT_FALSE(Download("2.5.1"));
    WindowWasStarted();
    // The partial archive stays until the next run replaces it; nothing of it is unpacked.
    EXPECT_EQ(Paths{"2.5.1.zip"}, WorkingTree());
    EXPECT_EQ(30000u, ReadWholeFile(WorkingPath("2.5.1.zip")).size());

    ASSERT_TRUE(m_observer->WaitForWindow(0, 10000));
    EXPECT_EQ(0, m_observer->Window(0).closes);
    EXPECT_FALSE(m_observer->WaitForAllThreads(300)) << "the window stays open";
}

TEST_F(PackageDownloadTest, FailedUnpackFailsAndStillDeletesTheArchive) {
    CZipEntry damaged = StoredEntry("bin/agent.dat", "the recorded data");
    damaged.hasPayload = true;
    damaged.payload = "other bytes stored";
    ServePackage("2.5.1", BuildZip({StoredEntry("readme.txt", "first\r\n"), damaged}));
    EXPECT_FALSE(Download("2.5.1"));
    WindowWasStarted();
    EXPECT_EQ(Paths{}, WorkingTree()) << "neither the archive nor anything of it stays";

    ASSERT_TRUE(m_observer->WaitForWindow(0, 10000));
    EXPECT_TRUE(m_observer->WaitForAllThreads(10000)) << "the window was closed";

    ServePackage("2.5.2", "no archive at all");
    EXPECT_FALSE(Download("2.5.2"));
    WindowWasStarted();
    EXPECT_FALSE(FileExists(WorkingPath("2.5.2.zip")));
}

TEST_F(PackageDownloadTest, ArchiveLeftByAnEarlierRunIsReplacedNotWrittenThroughItsOtherName) {
    // The leftover is also known by another name in another folder, which must keep its bytes.
    const CSandbox elsewhere;
    const std::string other = elsewhere.Path("precious.bin");
    ASSERT_TRUE(WriteWholeFile(other, std::string(300000, 'x')));
    ASSERT_TRUE(CreateHardLinkA(WorkingPath("2.5.1.zip").c_str(), other.c_str(), nullptr));
    ServePackage("2.5.1", StandardPackage());
    EXPECT_TRUE(Download("2.5.1"));
    EXPECT_EQ(StandardPackageTree(), WorkingTree());
    EXPECT_TRUE(ReadWholeFile(other) == std::string(300000, 'x')) << "written through its other name";
}

TEST_F(PackageDownloadTest, ArchiveThatCannotBeCreatedLeavesNoWindow) {
    ASSERT_TRUE(CreateDirectoryA(WorkingPath("2.5.1.zip").c_str(), nullptr));
    ServePackage("2.5.1", StandardPackage());
    EXPECT_FALSE(Download("2.5.1"));
    EXPECT_EQ(Paths{"2.5.1.zip\\"}, WorkingTree());
    Sleep(500);
    EXPECT_EQ(0u, m_observer->WindowCount());
}

// The bar's positions, seen inside the window. The server pauses before the body, so that the
// window is ready before the first position; every position has been handled by the time the
// download returns, as each is sent, not posted.
class ProgressPositionTest : public DownloadTest {
protected:
    std::vector<UINT> PositionsOfSlowDownload(const std::string& fields) {
        ServePackage("2.5.1", StandardPackage(48 * 1024), "\"pause\": 1, \"rate\": 200000" + fields);
        m_result = Download("2.5.1");
        if (!m_result) {
            WindowWasStarted();
        }
        EXPECT_TRUE(m_observer->WaitForWindow(0, 10000));
        const CObservedWindow window = m_observer->Window(0);
        EXPECT_EQ(0, window.positionsBeforeReady);
        return window.positions;
    }
    bool m_result = false;
};

TEST_F(ProgressPositionTest, DeclaredLengthGivesAClimbTo100) {
    const std::vector<UINT> positions = PositionsOfSlowDownload("");
    EXPECT_TRUE(m_result);
    ExpectClimbingTo100(positions);
    EXPECT_GT(positions.size(), 10u);
    EXPECT_LT(positions.front(), 20u);
}

TEST_F(ProgressPositionTest, WithoutDeclaredLengthTheBarRestsUntilTheEnd) {
    const std::vector<UINT> positions = PositionsOfSlowDownload(", \"content_length\": \"omit\"");
    EXPECT_TRUE(m_result);
    ASSERT_GT(positions.size(), 10u);
    EXPECT_EQ(100u, positions.back());
    for (size_t i = 0; i + 1 < positions.size(); ++i) {
        EXPECT_EQ(0u, positions[i]) << "at " << i;
    }
}

TEST_F(ProgressPositionTest, BodyShorterThanDeclaredNeverReaches100) {
    const std::vector<UINT> positions = PositionsOfSlowDownload(", \"cut_after\": 40000");
    EXPECT_FALSE(m_result);
    EXPECT_TRUE(FileExists(WorkingPath("2.5.1.zip")));
    EXPECT_FALSE(FileExists(WorkingPath("readme.txt")));
    ASSERT_FALSE(positions.empty());
    EXPECT_LT(positions.back(), 100u);
}

}  // namespace
