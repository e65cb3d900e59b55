#include "files.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace {

void CollectTree(const std::string& folder, const std::string& prefix, std::vector<std::string>& paths) {
    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") {
            continue;
        }
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            paths.push_back(prefix + name + "\\");
            CollectTree(folder + "\\" + name, prefix + name + "\\", paths);
        } else {
            paths.push_back(prefix + name);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

}  // namespace

CSandbox::CSandbox() {
    static int s_counter = 0;
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof(temp), temp);
    char name[64] = {};
    snprintf(name, sizeof(name), "vxunzip_%lu_%d", GetCurrentProcessId(), ++s_counter);
    m_root = std::string(temp) + name;
    RemoveTree(m_root);
    CreateDirectoryA(m_root.c_str(), nullptr);
}

CSandbox::~CSandbox() {
    RemoveTree(m_root);
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::string ReadWholeFile(const std::string& path) {
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    std::string bytes;
    char buffer[65536];
    DWORD count = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &count, nullptr) && count > 0) {
        bytes.append(buffer, count);
    }
    CloseHandle(file);
    return bytes;
}

bool FileExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FolderExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<std::string> ListTree(const std::string& folder) {
    std::vector<std::string> paths;
    CollectTree(folder, "", paths);
    std::sort(paths.begin(), paths.end());
    return paths;
}

void RemoveTree(const std::string& folder) {
    std::vector<std::string> paths = ListTree(folder);
    // Deepest first, so that each folder is empty when its turn comes.
    std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) { return a > b; });
    for (const std::string& relative : paths) {
        const std::string path = folder + "\\" + relative;
        if (relative.back() == '\\') {
            RemoveDirectoryA(path.c_str());
        } else {
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
        }
    }
    RemoveDirectoryA(folder.c_str());
}
