#include "files.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace {

std::wstring Wide(const std::string& utf8) {
    wchar_t wide[MAX_PATH * 2] = {};
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide, MAX_PATH * 2);
    return wide;
}

std::string Utf8(const wchar_t* wide) {
    char utf8[MAX_PATH * 4] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof(utf8), nullptr, nullptr);
    return utf8;
}

void CollectTree(const std::wstring& folder, const std::string& prefix, std::vector<std::string>& paths) {
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            paths.push_back(prefix + Utf8(name.c_str()) + "\\");
            CollectTree(folder + L"\\" + name, prefix + Utf8(name.c_str()) + "\\", paths);
        } else {
            paths.push_back(prefix + Utf8(name.c_str()));
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

}  // namespace

CSandbox::CSandbox() {
    static int s_counter = 0;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    char name[64] = {};
    snprintf(name, sizeof(name), "vxunzip_%lu_%d", GetCurrentProcessId(), ++s_counter);
    m_root = Utf8(temp) + name;
    RemoveTree(m_root);
    CreateDirectoryW(Wide(m_root).c_str(), nullptr);
}

CSandbox::~CSandbox() {
    RemoveTree(m_root);
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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
        CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FolderExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<std::string> ListTree(const std::string& folder) {
    std::vector<std::string> paths;
    CollectTree(Wide(folder), "", paths);
    std::sort(paths.begin(), paths.end());
    return paths;
}

void RemoveTree(const std::string& folder) {
    std::vector<std::string> paths = ListTree(folder);
    // Deepest first, so that each folder is empty when its turn comes.
    std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) { return a > b; });
    for (const std::string& relative : paths) {
        const std::wstring path = Wide(folder + "\\" + relative);
        if (relative.back() == '\\') {
            RemoveDirectoryW(path.c_str());
        } else {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    }
    RemoveDirectoryW(Wide(folder).c_str());
}
