#include "download_fixture.h"

#include <cstdlib>

#include "app/globals.h"
#include "net/package_download.h"
#include "testbed.h"
#include "unzip/unzipper.h"
#include "zip_writer.h"

namespace {

const uint16_t kPackageDate = ((2019 - 1980) << 9) | (5 << 5) | 17;  // 2019-05-17
const uint16_t kPackageTime = (10 << 11) | (20 << 5) | (30 / 2);     // 10:20:30

CZipEntry Dated(CZipEntry entry) {
    entry.dosDate = kPackageDate;
    entry.dosTime = kPackageTime;
    return entry;
}

// A path below the run's folder as the servers (outside Wine) see it.
std::string ServerPath(const std::string& name) {
    const char* runFolder = getenv("VX_TESTBED_DIR");
    return std::string(runFolder != nullptr ? runFolder : "/nonexistent") + "/" + name;
}

}  // namespace

std::string StandardPackage(size_t bulkBytes) {
    std::vector<CZipEntry> entries = {
        Dated(StoredEntry("readme.txt", "Vantorix package\r\n")),
        Dated(StoredEntry("bin/", "")),
        Dated(StoredEntry("bin/tools/", "")),
        Dated(DeflatedEntry("bin/agent.dat", TextBytes(5000, 7))),
        Dated(StoredEntry("bin/tools/helper.cfg", "mode=1\r\n")),
    };
    if (bulkBytes != 0) {
        entries.push_back(Dated(StoredEntry("bin/bulk.bin", RandomBytes(bulkBytes, 11))));
    }
    return BuildZip(entries);
}

std::vector<std::string> StandardPackageTree() {
    return {"bin\\", "bin\\agent.dat", "bin\\tools\\", "bin\\tools\\helper.cfg", "readme.txt"};
}

void DownloadTest::SetUp() {
    g_instance = GetModuleHandleA(nullptr);
    m_observer.reset(new CProgressObserver());
    m_folder.reset(new CSandbox());
    GetCurrentDirectoryA(sizeof(m_previousFolder), m_previousFolder);
    ASSERT_TRUE(SetCurrentDirectoryA(m_folder->Root().c_str()));
    testbed::SetScenario(R"({"routes": {}})");
    testbed::ClearRequests();
    ASSERT_TRUE(g_updater.OpenSession("localhost", testbed::kPrimaryPort));
}

void DownloadTest::TearDown() {
    // A window left open (a failed download) ends here, so that no test sees another's window.
    if (m_windowsStarted != 0) {
        EXPECT_TRUE(m_observer->WaitForWindow(m_windowsStarted - 1, 10000))
            << "a started window did not appear";
    }
    EXPECT_EQ(m_windowsStarted, m_observer->WindowCount());
    EXPECT_TRUE(m_observer->CloseLeftoverWindows(10000)) << "a progress window's thread did not end";
    m_observer.reset();
    g_updater.Close();
    SetCurrentDirectoryA(m_previousFolder);
    m_folder.reset();
}

std::string DownloadTest::ServedFile(const std::string& bytes) {
    const std::string name = "package-" + std::to_string(++m_servedFiles) + ".zip";
    EXPECT_TRUE(WriteWholeFile(testbed::RunFile(name.c_str()), bytes));
    return ServerPath(name);
}

void DownloadTest::ServePackage(const std::string& version, const std::string& bytes,
                                const std::string& fields) {
    const std::string answer =
        "{\"body_file\": \"" + ServedFile(bytes) + "\"" + (fields.empty() ? "" : ", ") + fields + "}";
    testbed::SetScenario("{\"routes\": {\"443 /download/app/customer/" + version + ".zip\": " + answer +
                         "}}");
}

void DownloadTest::ServeRedirectedPackage(const std::string& version, const std::string& bytes,
                                          unsigned short port, int status) {
    const std::string path = "/download/app/customer/" + version + ".zip";
    testbed::SetScenario("{\"routes\": {\"443 " + path + "\": {\"redirect_to\": " + std::to_string(port) +
                         ", \"status\": " + std::to_string(status) + "}, \"" + std::to_string(port) + " " +
                         path + "\": {\"body_file\": \"" + ServedFile(bytes) + "\"}}}");
}

void DownloadTest::ServeOnEveryPath() {
    testbed::SetScenario("{\"routes\": {\"443 *\": {\"body_file\": \"" + ServedFile(StandardPackage()) +
                         "\"}}}");
}

bool DownloadTest::Download(const std::string& version) {
    const bool result = DownloadPackage(g_updater, version.c_str(), m_folder->Root().c_str());
    m_windowsStarted += result ? 1 : 0;
    CUnzipper::RemoveReplacedFiles("./");  // as the run does once the version is recorded
    return result;
}

std::vector<std::string> DownloadTest::RequestedPaths() {
    std::vector<std::string> paths;
    for (const testbed::LoggedRequest& request : testbed::Requests()) {
        paths.push_back(std::to_string(request.port) + " " + request.path);
    }
    return paths;
}
