// What the download's and the progress window's tests share: a working folder of their own that is
// the current directory while a test runs, g_updater connected to the test bed's primary update
// server, packages served from the run's folder, and an observer of the progress windows.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "progress_observer.h"
#include "files.h"

// The standard package: a file at the top, two levels of folders, a file in each, known times.
std::string StandardPackage(size_t bulkBytes = 0);
// The files of the standard package as ListTree shows them after unpacking.
std::vector<std::string> StandardPackageTree();

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Serves bytes on the primary update port at the package path of version. fields are further
    // members of the answer in JSON ("\"rate\": 1000"), or empty.
    void ServePackage(const std::string& version, const std::string& bytes, const std::string& fields = "");
    // Serves bytes at the package path of version on port, and a redirect there (status) on the
    // primary update port.
    void ServeRedirectedPackage(const std::string& version, const std::string& bytes, unsigned short port,
                                int status);
    // Serves a whole standard package on every path of the primary update port.
    void ServeOnEveryPath();
    // A download that returns true has started its window; a test whose failing download started
    // one says so, so that TearDown can wait for every window a test started. The files the
    // package replaced are then deleted.
    bool Download(const std::string& version);
    void WindowWasStarted() { ++m_windowsStarted; }
    std::vector<std::string> RequestedPaths();
    std::string WorkingPath(const std::string& relative) const { return m_folder->Path(relative); }
    std::vector<std::string> WorkingTree() const { return ListTree(m_folder->Root()); }

    // Writes bytes into the run's folder; the path as the servers see it.
    std::string ServedFile(const std::string& bytes);

    std::unique_ptr<CSandbox> m_folder;
    std::unique_ptr<CProgressObserver> m_observer;

private:
    char m_previousFolder[MAX_PATH] = {};
    int m_servedFiles = 0;
    size_t m_windowsStarted = 0;
};
