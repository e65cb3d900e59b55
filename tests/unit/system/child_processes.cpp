#include "child_processes.h"

#include <tlhelp32.h>

#include <cstring>

namespace systemtest {

std::string FreshFolder(const std::string& name) {
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof(temp), temp);
    const std::string folder = std::string(temp) + name;
    RemoveTree(folder);
    CreateFolderPath(folder);
    return folder;
}

bool CreateFolderPath(const std::string& path) {
    for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1)) {
        CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
    }
    return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::string HelperProgram(const char* fileName) {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, sizeof(self));
    *strrchr(self, '\\') = '\0';
    return std::string(self) + "\\" + fileName;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> entries;
    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return entries;
    }
    do {
        if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) {
            entries.push_back(found.cFileName);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return entries;
}

std::vector<DWORD> ProcessesNamed(const char* imageName) {
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return ids;
    }
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL found = Process32First(snapshot, &entry); found; found = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, imageName) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return ids;
}

std::string EnvironmentWith(const std::vector<std::pair<std::string, std::string>>& variables) {
    std::string block;
    char* current = GetEnvironmentStringsA();
    for (const char* entry = current; *entry != '\0'; entry += strlen(entry) + 1) {
        const std::string text(entry);
        bool replaced = false;
        for (const auto& variable : variables) {
            replaced =
                replaced ||
                (text.size() > variable.first.size() && text[variable.first.size()] == '=' &&
                 lstrcmpiA(text.substr(0, variable.first.size()).c_str(), variable.first.c_str()) == 0);
        }
        if (!replaced) {
            block += text + '\0';
        }
    }
    FreeEnvironmentStringsA(current);
    for (const auto& variable : variables) {
        block += variable.first + "=" + variable.second + '\0';
    }
    return block + '\0';
}

CChildProcess::~CChildProcess() {
    if (m_hProcess != nullptr) {
        if (IsRunning()) {
            TerminateProcess(m_hProcess, 99);
            WaitForSingleObject(m_hProcess, kGenerousWaitMs);
        }
        CloseHandle(m_hProcess);
    }
    if (m_hThread != nullptr) {
        CloseHandle(m_hThread);
    }
}

bool CChildProcess::Start(const std::string& commandLine, const char* currentFolder,
                          const std::string* environment) {
    std::string line = commandLine;  // CreateProcessA may write into it
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0,
                        environment ? const_cast<char*>(environment->data()) : nullptr, currentFolder,
                        &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    m_hProcess = process.hProcess;
    m_dwProcessId = process.dwProcessId;
    return true;
}

bool CChildProcess::Start(const std::wstring& commandLine, DWORD creationFlags) {
    std::wstring line = commandLine;  // CreateProcessW may write into it
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, creationFlags, nullptr, nullptr, &startup,
                        &process)) {
        return false;
    }
    m_hThread = process.hThread;
    m_hProcess = process.hProcess;
    m_dwProcessId = process.dwProcessId;
    return true;
}

bool CChildProcess::StartSleeper(const std::string& program) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE running = CreateEventA(&inheritable, TRUE, FALSE, nullptr);
    const bool started =
        Start("\"" + program + "\" " + std::to_string(reinterpret_cast<UINT_PTR>(running))) &&
        WaitForSingleObject(running, kGenerousWaitMs) == WAIT_OBJECT_0;
    CloseHandle(running);
    return started;
}

bool CChildProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
    if (WaitForSingleObject(m_hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    if (exitCode != nullptr) {
        GetExitCodeProcess(m_hProcess, exitCode);
    }
    return true;
}

bool CChildProcess::IsRunning() const {
    return m_hProcess != nullptr && WaitForSingleObject(m_hProcess, 0) == WAIT_TIMEOUT;
}

}  // namespace systemtest
