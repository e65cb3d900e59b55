// The self-removal script: the room its text needs, the folders it never removes, and under Wine
// what the script does once the program that started it (a helper that calls
// StartSelfRemovalScript and ends) has ended. CTest runs it under code page 1252 (OEM 437) and
// the folder names again under 932; Wine's cmd reads a batch file in the OEM code page, as
// Windows' does.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>

#include <cstring>
#include <string>
#include <vector>

#include "child_processes.h"
#include "system/exact_path.h"
#include "system/self_removal.h"

using namespace systemtest;

namespace {

std::wstring Wide(const std::string& ansi) {
    wchar_t wide[2 * MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide, 2 * MAX_PATH - 1);
    return wide;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Contents(const std::wstring& path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    char bytes[256] = {};
    DWORD read = 0;
    ReadFile(file, bytes, sizeof(bytes), &read, nullptr);
    CloseHandle(file);
    return std::string(bytes, read);
}

void RemoveTreeWide(const std::wstring& folder) {
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring path = folder + L"\\" + found.cFileName;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            } else if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
                RemoveTreeWide(path);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

std::wstring KnownFolder(const KNOWNFOLDERID& id) {
    PWSTR path = nullptr;
    SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path);
    const std::wstring copy = path != nullptr ? path : L"";
    CoTaskMemFree(path);
    return copy;
}

// Windows' documented rule, which Wine does not keep: UTF-8 takes no flag but WC_ERR_INVALID_CHARS
// and no default character.
int WINAPI ToMultiByteAsWindows(UINT codePage, DWORD flags, LPCWCH text, int length, LPSTR converted,
                                int capacity, LPCCH defaultChar, LPBOOL usedDefault) {
    if (codePage == CP_UTF8 && ((flags & ~WC_ERR_INVALID_CHARS) != 0 || defaultChar || usedDefault)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return WideCharToMultiByte(codePage, flags, text, length, converted, capacity, defaultChar, usedDefault);
}

TEST(ExactCodePagePath, UnderUtf8PassedInEveryCharacterButALoneSurrogate) {
    g_pfnToMultiByte = &ToMultiByteAsWindows;
    char converted[kScriptPathCapacity] = {};
    EXPECT_TRUE(ToCodePagePath(L"C:\\Jos\u00e9\\\u8868\U0001F600", CP_UTF8, converted, sizeof(converted)));
    EXPECT_STREQ("C:\\Jos\xC3\xA9\\\xE8\xA1\xA8\xF0\x9F\x98\x80", converted);
    EXPECT_FALSE(ToCodePagePath(L"C:\\vx\xD800", CP_UTF8, converted, sizeof(converted)));
    g_pfnToMultiByte = &WideCharToMultiByte;
}

TEST(SelfRemovalScriptText, LongestPathsOfDoubleByteCharactersAndPercentSignsAreNotCut) {
    const std::string longest(kScriptPathCapacity - 1, '%');
    const std::string doubled(2 * longest.size(), '%');
    char text[kSelfRemovalScriptCapacity];
    memset(text, 'x', sizeof(text));
    const size_t length = FormatSelfRemovalScript(longest.c_str(), longest.c_str(), longest.c_str(),
                                                  longest.c_str(), kSelfRemovalTries, text);
    const std::string script(text, length);
    EXPECT_NE(std::string::npos, script.find("\r\nif %vxTries% geq 60 goto Done\r\n")) << "about a minute";
    EXPECT_EQ(strlen(text), length);
    EXPECT_NE(std::string::npos, script.find("del /f \"" + doubled + "\"\r\n"));
    EXPECT_NE(std::string::npos, script.find("if not exist \"" + doubled + "\" goto"));
    EXPECT_NE(std::string::npos, script.find("rmdir \"" + doubled + "\"\r\n"));
    EXPECT_NE(std::string::npos, script.find("\r\n\"" + doubled + "\" -n 2 127.0.0.1 >nul\r\n"));
    EXPECT_EQ("del \"" + doubled + "\"", script.substr(script.rfind("\r\n") + 2));
}

TEST(SelfRemovalKnownFolders, TheUsersAndTheMachinesFoldersAndDriveRootsButNoOthers) {
    const std::wstring downloads = KnownFolder(FOLDERID_Downloads);
    std::wstring upperDownloads = downloads;
    CharUpperBuffW(&upperDownloads[0], static_cast<DWORD>(upperDownloads.size()));
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const struct {
        std::wstring folder;
        bool known;
    } cases[] = {
        {downloads, true},
        {upperDownloads, true},
        {downloads + L"\\", true},
        {KnownFolder(FOLDERID_Desktop), true},
        {KnownFolder(FOLDERID_Documents), true},
        {KnownFolder(FOLDERID_Profile), true},
        {KnownFolder(FOLDERID_Public), true},
        {KnownFolder(FOLDERID_PublicDocuments), true},
        {KnownFolder(FOLDERID_PublicDesktop), true},
        {KnownFolder(FOLDERID_PublicDownloads), true},
        {temp, true},
        {L"C:", true},
        {L"C:\\", true},
        {downloads + L"\\vxstarter", false},
        {Wide(FreshFolder("vxsys_known")), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.known, IsKnownFolder(c.folder.c_str())) << testing::PrintToString(c.folder);
    }
    RemoveTree(FreshFolder("vxsys_known"));
}

class SelfRemovalRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_rootAnsi = FreshFolder("vxsys_removal");
        m_root = Wide(m_rootAnsi);
        for (const wchar_t* name : {L"TMP", L"TEMP"}) {
            wchar_t value[MAX_PATH] = {};
            GetEnvironmentVariableW(name, value, MAX_PATH);
            m_savedTemp.push_back(value);
        }
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"TMP", m_savedTemp[0].c_str());
        SetEnvironmentVariableW(L"TEMP", m_savedTemp[1].c_str());
        RemoveTreeWide(m_root);
    }

    // A copy of the helper in folder (made when missing); its path.
    std::wstring CopyHost(const std::wstring& folder) {
        CreateDirectoryW(folder.c_str(), nullptr);
        const std::wstring program = folder + L"\\vxremovalhost.exe";
        EXPECT_TRUE(CopyFileW(Wide(HelperProgram("vxremovalhost.exe")).c_str(), program.c_str(), FALSE));
        return program;
    }

    // Starts the program with tempFolder (made when missing) as its temporary folder; the path of
    // the script it will write there.
    std::wstring StartHost(CChildProcess& host, const std::wstring& program, const std::wstring& tempFolder,
                           DWORD creationFlags = 0, const std::wstring& tries = L"") {
        CreateDirectoryW(tempFolder.c_str(), nullptr);
        SetEnvironmentVariableW(L"TMP", tempFolder.c_str());
        SetEnvironmentVariableW(L"TEMP", tempFolder.c_str());
        EXPECT_TRUE(host.Start(L"\"" + program + L"\" " + tries, creationFlags));
        wchar_t name[32] = {};
        _snwprintf(name, 31, L"_uninsep%08lX.bat", host.Id());
        return tempFolder + L"\\" + name;
    }

    static void WaitForHost(CChildProcess& host) {
        DWORD exitCode = 1;
        EXPECT_TRUE(host.WaitForExit(kGenerousWaitMs, &exitCode));
        EXPECT_EQ(0u, exitCode);
    }

    // Copies the helper into programFolder and runs it to its end; the script's path.
    std::wstring RunHost(const std::wstring& programFolder, const std::wstring& tempFolder) {
        CChildProcess host;
        const std::wstring script = StartHost(host, CopyHost(programFolder), tempFolder);
        WaitForHost(host);
        return script;
    }

    std::string m_rootAnsi;
    std::wstring m_root;
    std::vector<std::wstring> m_savedTemp;
};

TEST_F(SelfRemovalRunTest, RemovesTheProgramItsEmptyFolderAndItselfFromFoldersOfEveryName) {
    // lookAlike: what a best-fit conversion would make of the name, planted beside it.
    struct SFolderName {
        const wchar_t* name;
        const wchar_t* lookAlike;
    };
    const SFolderName westernNames[] = {
        {L"100% %PATH% & (x) ^ @ !", nullptr},
        {L"Jos\u00e9", nullptr},                             // OEM 437 has the é
        {L"\u041f\u0440\u0438\u043c\u0435\u0440", nullptr},  // it has no Cyrillic: the short path
        {L"\uff58", L"x"},                                   // nor a full-width x
    };
    const SFolderName japaneseNames[] = {
        {L"\u30bd\u30d5\u30c8\u8868", nullptr},  // ソフト表: two of them end in the byte 0x5C
        {L"\u30c7\u30fc\u30bf 100% \u8868", nullptr},
        {L"Jos\u00e9", L"Jose"},  // 932 has no é
    };
    const bool japanese = GetOEMCP() == 932;
    ASSERT_TRUE(japanese || GetOEMCP() == 437) << GetOEMCP();
    const SFolderName* names = japanese ? japaneseNames : westernNames;
    const size_t count =
        japanese ? sizeof(japaneseNames) / sizeof(*names) : sizeof(westernNames) / sizeof(*names);

    for (size_t i = 0; i < count; ++i) {
        const std::wstring base = m_root + L"\\" + std::to_wstring(i);
        ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
        const std::wstring programFolder = base + L"\\" + names[i].name;
        const std::wstring lookAlike =
            names[i].lookAlike != nullptr ? CopyHost(base + L"\\" + names[i].lookAlike) : L"";
        const std::wstring tempFolder = programFolder + L" temp";

        const std::wstring script = RunHost(programFolder, tempFolder);

        const std::string shown = testing::PrintToString(std::wstring(names[i].name));
        EXPECT_TRUE(WaitUntil([&] { return !Exists(programFolder); })) << "the folder stays: " << shown;
        EXPECT_TRUE(WaitUntil([&] { return !Exists(script); })) << "the script stays: " << shown;
        EXPECT_TRUE(Exists(tempFolder)) << shown;
        EXPECT_TRUE(lookAlike.empty() || Exists(lookAlike)) << "the look-alike was removed: " << shown;
    }
}

TEST_F(SelfRemovalRunTest, RemovesAReadOnlyProgramFile) {
    const std::wstring program = CopyHost(m_root + L"\\read-only");
    ASSERT_TRUE(SetFileAttributesW(program.c_str(), FILE_ATTRIBUTE_READONLY));
    CChildProcess host;
    const std::wstring script = StartHost(host, program, m_root + L"\\temp");
    WaitForHost(host);

    EXPECT_TRUE(WaitUntil([&] { return !Exists(program); })) << "the program file stays";
    EXPECT_TRUE(WaitUntil([&] { return !Exists(script); })) << "the script stays";
}

TEST_F(SelfRemovalRunTest, GivesUpOnAProgramFileHeldOpenAfterItsTriesAndDeletesItself) {
    const std::wstring program = CopyHost(m_root + L"\\held");
    // Shared for reading only: the helper can run, nobody can delete the file.
    HANDLE hold =
        CreateFileW(program.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hold);
    CChildProcess host;
    // Six tries: five pauses of about a second between them.
    const std::wstring script = StartHost(host, program, m_root + L"\\temp", 0, L"6");
    WaitForHost(host);
    const ULONGLONG hostEnded = GetTickCount64();

    const bool ended = WaitUntil([&] { return !Exists(script); }, 60000);
    const ULONGLONG seconds = (GetTickCount64() - hostEnded) / 1000;
    const bool leftRunning = !WaitUntil([] { return ProcessesNamed("cmd.exe").empty(); }, 5000);
    CloseHandle(hold);
    EXPECT_TRUE(ended) << "the script still runs after 60 s";
    EXPECT_LE(4u, seconds) << "it did not pause between tries";
    EXPECT_GE(20u, seconds);
    EXPECT_FALSE(leftRunning) << "a cmd.exe is left";
    EXPECT_TRUE(Exists(program));
}

std::wstring g_commandLine;
std::wstring g_currentFolder;
BOOL WINAPI RecordInterpreterStart(LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                   BOOL, DWORD, LPVOID, LPCWSTR currentFolder, LPSTARTUPINFOW,
                                   LPPROCESS_INFORMATION) {
    g_commandLine = commandLine;
    g_currentFolder = currentFolder;
    return FALSE;
}

TEST_F(SelfRemovalRunTest, TheInterpreterGetsTheScriptsBareNameFromTheScriptsFolder) {
    const std::wstring tempFolder = m_root + L"\\100% %PATH% temp\\";
    ASSERT_TRUE(CreateDirectoryW(tempFolder.c_str(), nullptr));
    SetEnvironmentVariableW(L"TMP", tempFolder.c_str());
    g_pfnStartInterpreter = &RecordInterpreterStart;
    StartSelfRemovalScript(1);
    g_pfnStartInterpreter = &CreateProcessW;

    wchar_t line[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(line, MAX_PATH);
    _snwprintf(line + length, MAX_PATH - length - 1, L"\\cmd.exe\" /d /v:off /e:on /c _uninsep%08lX.bat",
               GetCurrentProcessId());
    // cmd would expand the folder's "%PATH%" on its command line.
    EXPECT_EQ(L"\"" + std::wstring(line), g_commandLine);
    EXPECT_EQ(tempFolder, g_currentFolder);
}

TEST_F(SelfRemovalRunTest, KeepsAKnownFolderItWasAloneIn) {
    // The user's Downloads folder, moved as Explorer moves it, to a folder of the test's own.
    const wchar_t kShellFolders[] =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    const wchar_t kDownloadsValue[] = L"{374DE290-123F-4565-9164-39C4925E467B}";
    const std::wstring downloads = m_root + L"\\Downloads";
    ASSERT_TRUE(CreateDirectoryW(downloads.c_str(), nullptr));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_CURRENT_USER, kShellFolders, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key));
    wchar_t saved[MAX_PATH] = {};
    DWORD savedSize = sizeof(saved);
    DWORD savedType = REG_EXPAND_SZ;
    const bool hadValue = RegQueryValueExW(key, kDownloadsValue, nullptr, &savedType,
                                           reinterpret_cast<BYTE*>(saved), &savedSize) == ERROR_SUCCESS;
    RegSetValueExW(key, kDownloadsValue, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(downloads.c_str()),
                   static_cast<DWORD>((downloads.size() + 1) * sizeof(wchar_t)));
    const bool moved = KnownFolder(FOLDERID_Downloads) == downloads;

    const std::wstring program = downloads + L"\\vxremovalhost.exe";
    const std::wstring script = moved ? RunHost(downloads, m_root + L"\\temp") : L"";
    const bool removed = moved && WaitUntil([&] { return !Exists(program) && !Exists(script); });

    if (hadValue) {
        RegSetValueExW(key, kDownloadsValue, 0, savedType, reinterpret_cast<const BYTE*>(saved), savedSize);
    } else {
        RegDeleteValueW(key, kDownloadsValue);
    }
    RegCloseKey(key);
    ASSERT_TRUE(moved) << "the shell did not take the moved Downloads folder";
    EXPECT_TRUE(removed) << "the program file or the script stays";
    EXPECT_TRUE(Exists(downloads)) << "the Downloads folder was removed";
}

TEST_F(SelfRemovalRunTest, KeepsAFolderThatHoldsOtherFiles) {
    const std::wstring programFolder = m_root + L"\\shared folder";
    ASSERT_TRUE(CreateDirectoryW(programFolder.c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(m_rootAnsi + "\\shared folder\\keep.txt", "keep"));

    const std::wstring script = RunHost(programFolder, m_root + L"\\temp");

    EXPECT_TRUE(WaitUntil([&] { return !Exists(programFolder + L"\\vxremovalhost.exe"); }));
    EXPECT_TRUE(WaitUntil([&] { return !Exists(script); })) << "the script stays";
    EXPECT_EQ("keep", Contents(programFolder + L"\\keep.txt"));
}

TEST_F(SelfRemovalRunTest, OverlappingRunsEachRemoveTheirOwnProgramAndNeverWriteThroughALink) {
    const std::wstring tempFolder = m_root + L"\\temp";
    ASSERT_TRUE(CreateDirectoryW(tempFolder.c_str(), nullptr));
    const std::wstring other = m_root + L"\\other.txt";
    ASSERT_TRUE(WriteWholeFile(m_rootAnsi + "\\other.txt", "other"));
    // The name every run used to write, a hard link planted to another file.
    ASSERT_TRUE(CreateHardLinkW((tempFolder + L"\\_uninsep.bat").c_str(), other.c_str(), nullptr));

    const std::wstring first = CopyHost(m_root + L"\\first");
    HANDLE hold =
        CreateFileW(first.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hold);
    CChildProcess firstHost;
    const std::wstring firstScript = StartHost(firstHost, first, tempFolder);
    WaitForHost(firstHost);
    const std::wstring secondScript = RunHost(m_root + L"\\second", tempFolder);

    EXPECT_TRUE(WaitUntil([&] { return !Exists(m_root + L"\\second"); })) << "the second program stays";
    EXPECT_TRUE(WaitUntil([&] { return !Exists(secondScript); })) << "the second script stays";
    EXPECT_TRUE(Exists(firstScript)) << "the first script ended while its program was held";
    CloseHandle(hold);
    EXPECT_TRUE(WaitUntil([&] { return !Exists(m_root + L"\\first"); })) << "the first program stays";
    EXPECT_TRUE(WaitUntil([&] { return !Exists(firstScript); })) << "the first script stays";
    EXPECT_EQ("other", Contents(other));
    EXPECT_EQ("other", Contents(tempFolder + L"\\_uninsep.bat"));
}

// A script left by a run that was ended early, or a link planted under the name, is never written
// through: the script goes under the next name.
TEST_F(SelfRemovalRunTest, AScriptNameThatIsTakenIsNeverWrittenThroughAndTheNextOneServes) {
    const std::wstring other = m_root + L"\\other.txt";
    ASSERT_TRUE(WriteWholeFile(m_rootAnsi + "\\other.txt", "other"));
    const std::wstring program = CopyHost(m_root + L"\\program");
    CChildProcess host;
    const std::wstring script = StartHost(host, program, m_root + L"\\temp", CREATE_SUSPENDED);
    ASSERT_TRUE(CreateHardLinkW(script.c_str(), other.c_str(), nullptr));
    ASSERT_TRUE(host.Resume());
    WaitForHost(host);

    EXPECT_TRUE(WaitUntil([&] { return !Exists(program); })) << "the program stays";
    EXPECT_EQ("other", Contents(other));
}

TEST_F(SelfRemovalRunTest, ATemporaryPathThatJustLeavesRoomForTheNameWorks) {
    // With its backslash the temporary path is 239 characters: the script path, with its name of
    // 20, is 259.
    const std::wstring tempFolder = m_root + L"\\" + std::wstring(238 - m_root.size() - 1, L't');
    ASSERT_EQ(238u, tempFolder.size());

    const std::wstring script = RunHost(m_root + L"\\program", tempFolder);

    EXPECT_EQ(259u, script.size());
    EXPECT_TRUE(WaitUntil([&] { return !Exists(m_root + L"\\program"); })) << "the program stays";
    EXPECT_TRUE(WaitUntil([&] { return !Exists(script); })) << "the script stays";
}

TEST_F(SelfRemovalRunTest, ATemporaryPathWithNoRoomForTheNameWritesAndStartsNothing) {
    // One character more: the script's name would have to be cut to fit.
    const std::wstring tempFolder = m_root + L"\\" + std::wstring(239 - m_root.size() - 1, L't');
    ASSERT_EQ(239u, tempFolder.size());

    RunHost(m_root + L"\\program", tempFolder);

    Sleep(3000);  // a script started would have deleted the program within a second
    EXPECT_TRUE(Exists(m_root + L"\\program\\vxremovalhost.exe"));
    EXPECT_TRUE(RemoveDirectoryW(tempFolder.c_str())) << "something was written there";
}

}  // namespace
