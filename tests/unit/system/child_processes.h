// What the system tests need to run programs of their own under Wine: fresh folders, copies of the
// helper programs built beside the tests, child processes that are ended when a test is done.
#pragma once

#include <windows.h>

#include "files.h"

#include <string>
#include <utility>
#include <vector>

namespace systemtest {

const DWORD kGenerousWaitMs = 60000;  // "did not hang" bound for anything a child does

// A new, empty folder in the temporary folder (what an earlier run left there is removed).
std::string FreshFolder(const std::string& name);
bool CreateFolderPath(const std::string& path);  // with every missing parent
// The helper program of that name, built beside the test program.
std::string HelperProgram(const char* fileName);
// Names in the folder, without "." and "..".
std::vector<std::string> FolderEntries(const std::string& folder);
// Polls until the condition holds; false when it still does not after timeoutMs.
template <typename TCondition>
bool WaitUntil(TCondition condition, DWORD timeoutMs = kGenerousWaitMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > end) {
            return false;
        }
        Sleep(50);
    }
    return true;
}
// Identifiers of the running processes with that executable name (as tool-help reports it).
std::vector<DWORD> ProcessesNamed(const char* imageName);
// This process's environment with the given variables set (or replaced), as CreateProcessA takes it.
std::string EnvironmentWith(const std::vector<std::pair<std::string, std::string>>& variables);

class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // commandLine is the whole line, program name included.
    bool Start(const std::string& commandLine, const char* currentFolder = nullptr,
               const std::string* environment = nullptr);
    // The same in UTF-16, for program paths the ANSI code page cannot hold, with this process's
    // environment and current folder; with CREATE_SUSPENDED it waits for Resume.
    bool Start(const std::wstring& commandLine, DWORD creationFlags = 0);
    bool Resume() const { return ResumeThread(m_hThread) != static_cast<DWORD>(-1); }
    // Starts a copy of the sleeper helper and waits until it runs its own code.
    bool StartSleeper(const std::string& program);
    // False when the process did not end within timeoutMs.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode = nullptr);
    bool IsRunning() const;
    DWORD Id() const { return m_dwProcessId; }

private:
    HANDLE m_hProcess = nullptr;
    HANDLE m_hThread = nullptr;
    DWORD m_dwProcessId = 0;
};

}  // namespace systemtest
