// Small file helpers for the tests, and a private folder below the temporary folder for one test,
// removed with everything in it at the end. Paths and names are UTF-8, whatever the code page.
#pragma once

#include <string>
#include <vector>

class CSandbox {
public:
    CSandbox();
    ~CSandbox();
    CSandbox(const CSandbox&) = delete;
    CSandbox& operator=(const CSandbox&) = delete;

    const std::string& Root() const { return m_root; }
    std::string Path(const std::string& relative) const { return m_root + "\\" + relative; }

private:
    std::string m_root;
};

bool WriteWholeFile(const std::string& path, const std::string& bytes);
// Empty when the file cannot be read.
std::string ReadWholeFile(const std::string& path);
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
// Every file and folder below folder, as relative paths, folders with a trailing backslash, sorted.
std::vector<std::string> ListTree(const std::string& folder);
void RemoveTree(const std::string& folder);
