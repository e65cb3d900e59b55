// The process terminator against real processes under Wine: copies of a sleeper started under the
// product's names and under names that must be left alone, on both roads.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/globals.h"
#include "child_processes.h"
#include "system/process_terminator.h"

using namespace systemtest;

namespace {

TEST(ImageNameMatches, TheNameItselfWithTheLetterCaseOfAToZAside) {
    EXPECT_TRUE(ImageNameMatches("vxagent.exe", "vxagent.exe"));
    EXPECT_TRUE(ImageNameMatches("vxagent.exe", "VxAgent.EXE"));
    EXPECT_TRUE(ImageNameMatches("VXAGENT.EXE", "vxagent.exe"));
    // Only A to Z fold, whatever the locale: 0xC4 and 0xE4 are upper and lower A-umlaut in Latin-1.
    EXPECT_TRUE(ImageNameMatches("vx\xC4.exe", "VX\xC4.EXE"));
    EXPECT_FALSE(ImageNameMatches("vx\xC4.exe", "vx\xE4.exe"));
    EXPECT_FALSE(ImageNameMatches("vxagent.exe", "vxpanel.exe"));
    EXPECT_FALSE(ImageNameMatches("vxagent.exe", "vxagent.ex"));
}

TEST(ImageNameMatches, AFullPathEndingInTheNameButNoOtherPrefix) {
    EXPECT_TRUE(ImageNameMatches("vxagent.exe", "C:\\Program Files\\Vantorix\\vxagent.exe"));
    EXPECT_TRUE(ImageNameMatches("vxagent.exe", "\\\\?\\C:\\VXAGENT.exe"));
    EXPECT_TRUE(ImageNameMatches("vxagent.exe", "/opt/vantorix/vxagent.exe"));
    EXPECT_FALSE(ImageNameMatches("vxagent.exe", "myvxagent.exe"));
    EXPECT_FALSE(ImageNameMatches("vxagent.exe", "C:\\tools\\myvxagent.exe"));
    EXPECT_FALSE(ImageNameMatches("vxagent.exe", "C:\\tools\\vxagent.exe.bak"));
}

TEST(ImageNameMatches, AShorterEndingOrNothingNeverMatches) {
    EXPECT_FALSE(ImageNameMatches("vxagent.exe", "agent.exe"));
    EXPECT_FALSE(ImageNameMatches("vxagent.exe", ".exe"));
    EXPECT_FALSE(ImageNameMatches("vxagent.exe", ""));
}

std::vector<std::string> g_loadedLibraries;
std::vector<DWORD> g_listCapacities;

HMODULE WINAPI RecordingLoadLibrary(LPCSTR name) {
    g_loadedLibraries.push_back(name);
    return LoadLibraryA(name);
}

// The real list, reported as filling a first block of 1024 bytes exactly (256 processes or more).
BOOL WINAPI FillingFirstBlock(DWORD* processIds, DWORD capacity, DWORD* returned) {
    g_listCapacities.push_back(capacity);
    if (!K32EnumProcesses(processIds, capacity, returned)) {
        return FALSE;
    }
    if (capacity == 1024) {
        memset(reinterpret_cast<BYTE*>(processIds) + *returned, 0,
               capacity - *returned);  // no such process 0
        *returned = capacity;
    }
    return TRUE;
}

BOOL WINAPI FailingList(DWORD*, DWORD capacity, DWORD*) {
    g_listCapacities.push_back(capacity);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

std::string PsapiFromSystemFolder() {
    char folder[MAX_PATH] = {};
    GetSystemDirectoryA(folder, sizeof(folder));
    return std::string(folder) + "\\psapi.DLL";
}

class ProcessTerminatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = FreshFolder("vxsys_terminator");
        m_savedPlatformId = g_osPlatformId;
        m_savedMajorVersion = g_osMajorVersion;
        g_pfnLoadTerminatorLibrary = &RecordingLoadLibrary;
        g_loadedLibraries.clear();
        g_listCapacities.clear();
        // The test program does not import psapi: a loaded psapi.dll is the terminator's.
        ASSERT_EQ(nullptr, GetModuleHandleA("psapi.dll"));
    }
    void TearDown() override {
        m_children.clear();  // ends whatever is still running
        g_pfnLoadTerminatorLibrary = &LoadLibraryA;
        g_pfnEnumProcessesStandIn = nullptr;
        g_pfnListedProcessHook = nullptr;
        g_osPlatformId = m_savedPlatformId;
        g_osMajorVersion = m_savedMajorVersion;
        RemoveTree(m_folder);
    }

    void UseRecordedVersion(DWORD platformId, DWORD majorVersion) {
        g_osPlatformId = platformId;
        g_osMajorVersion = majorVersion;
    }

    // A running copy of the sleeper as <subfolder>\<name>.
    CChildProcess& Start(const std::string& subfolder, const std::string& name) {
        const std::string folder = m_folder + "\\" + subfolder;
        CreateFolderPath(folder);
        const std::string program = folder + "\\" + name;
        CopyFileA(HelperProgram("vxsleeper.exe").c_str(), program.c_str(), FALSE);
        m_children.push_back(std::make_unique<CChildProcess>());
        EXPECT_TRUE(m_children.back()->StartSleeper(program)) << program;
        return *m_children.back();
    }

    // Ended with exit code 0, which the sleeper never gives by itself.
    static bool WasTerminated(CChildProcess& child) {
        DWORD exitCode = 1;
        return child.WaitForExit(kGenerousWaitMs, &exitCode) && exitCode == 0;
    }

    // Copies of the sleeper under the host's name, and under names that are not the host's.
    void ExpectOnlyTheHostEnded(const std::vector<std::string>& expectedLibraries) {
        CChildProcess& first = Start("one", "vxagent.exe");
        CChildProcess& second = Start("one", "vxagent.exe");
        CChildProcess& otherCase = Start("two", "VxAgent.EXE");
        CChildProcess& prefixed = Start("one", "myvxagent.exe");
        CChildProcess& shorter = Start("one", "agent.exe");

        EXPECT_TRUE(TerminateProcessesByName("vxagent.exe"));
        EXPECT_EQ(expectedLibraries, g_loadedLibraries);
        EXPECT_TRUE(WasTerminated(first));
        EXPECT_TRUE(WasTerminated(second));
        EXPECT_TRUE(WasTerminated(otherCase));
        EXPECT_TRUE(prefixed.IsRunning());
        EXPECT_TRUE(shorter.IsRunning());
        EXPECT_EQ(nullptr, GetModuleHandleA("psapi.dll")) << "the library is released";
    }

    std::string m_folder;
    std::vector<std::unique_ptr<CChildProcess>> m_children;
    DWORD m_savedPlatformId = 0;
    DWORD m_savedMajorVersion = 0;
};

TEST_F(ProcessTerminatorTest, ToolHelpEndsEveryCopyOfTheHostAndNothingElse) {
    UseRecordedVersion(VER_PLATFORM_WIN32_NT, 6);
    ExpectOnlyTheHostEnded({"Kernel32.DLL"});
}

TEST_F(ProcessTerminatorTest, PsapiFromTheSystemFolderEndsEveryCopyOfTheHostAndNothingElse) {
    UseRecordedVersion(VER_PLATFORM_WIN32_NT, 4);
    ExpectOnlyTheHostEnded({PsapiFromSystemFolder()});
}

TEST_F(ProcessTerminatorTest, NoMatchingProcessIsFalseOnBothRoads) {
    CChildProcess& companion = Start("one", "vxpanel.exe");
    for (DWORD majorVersion : {4, 6}) {
        UseRecordedVersion(VER_PLATFORM_WIN32_NT, majorVersion);
        EXPECT_FALSE(TerminateProcessesByName("vxagent.exe")) << majorVersion;
    }
    EXPECT_EQ(2u, g_loadedLibraries.size());
    EXPECT_TRUE(companion.IsRunning());
}

TEST_F(ProcessTerminatorTest, TheRecordedVersionChoosesTheRoadAndUnsupportedOnesLoadNothing) {
    enum ERoad { kNone, kToolHelp, kPsapi };
    const struct {
        DWORD platformId;
        DWORD majorVersion;
        ERoad road;
    } cases[] = {
        {VER_PLATFORM_WIN32_NT, 4, kPsapi},
        {VER_PLATFORM_WIN32_NT, 5, kToolHelp},
        {VER_PLATFORM_WIN32_NT, 6, kToolHelp},
        {VER_PLATFORM_WIN32_NT, 10, kToolHelp},
        {VER_PLATFORM_WIN32_WINDOWS, 0, kToolHelp},
        {VER_PLATFORM_WIN32_WINDOWS, 4, kToolHelp},
        {VER_PLATFORM_WIN32_NT, 3, kNone},
        {VER_PLATFORM_WIN32_NT, 0, kNone},
        {VER_PLATFORM_WIN32s, 6, kNone},
        {3, 10, kNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "platform " << c.platformId << ", major version " << c.majorVersion);
        g_loadedLibraries.clear();
        CChildProcess& companion = Start("one", "vxlink.exe");
        UseRecordedVersion(c.platformId, c.majorVersion);

        EXPECT_EQ(c.road != kNone, TerminateProcessesByName("vxlink.exe"));
        const std::vector<std::string> expected =
            c.road == kNone
                ? std::vector<std::string>{}
                : std::vector<std::string>{c.road == kPsapi ? PsapiFromSystemFolder() : "Kernel32.DLL"};
        EXPECT_EQ(expected, g_loadedLibraries);
        if (c.road == kNone) {
            EXPECT_TRUE(companion.IsRunning());
            EXPECT_EQ(nullptr, GetModuleHandleA("psapi.dll"));
        } else {
            EXPECT_TRUE(WasTerminated(companion));
        }
    }
}

TEST_F(ProcessTerminatorTest, ToolHelpNamesTheProcessAgainAndLeavesAReusedIdentifierAlone) {
    // Listed as the host, as if the host had ended and another program had got its identifier.
    CChildProcess& other = Start("one", "vxother.exe");
    g_pfnListedProcessHook = [](PROCESSENTRY32* entry) {
        if (ImageNameMatches("vxother.exe", entry->szExeFile)) {
            strcpy(entry->szExeFile, "vxagent.exe");
        }
    };
    UseRecordedVersion(VER_PLATFORM_WIN32_NT, 6);
    EXPECT_FALSE(TerminateProcessesByName("vxagent.exe"));
    EXPECT_TRUE(other.IsRunning());
}

TEST_F(ProcessTerminatorTest, AListThatFillsItsBlockIsFetchedAgainTwiceAsLarge) {
    CChildProcess& host = Start("one", "vxagent.exe");
    UseRecordedVersion(VER_PLATFORM_WIN32_NT, 4);
    g_pfnEnumProcessesStandIn = &FillingFirstBlock;

    EXPECT_TRUE(TerminateProcessesByName("vxagent.exe"));
    EXPECT_EQ((std::vector<DWORD>{1024, 2048}), g_listCapacities);
    EXPECT_TRUE(WasTerminated(host));
}

TEST_F(ProcessTerminatorTest, AListThatCannotBeFetchedEndsTheCallWithFalse) {
    CChildProcess& host = Start("one", "vxagent.exe");
    UseRecordedVersion(VER_PLATFORM_WIN32_NT, 4);
    g_pfnEnumProcessesStandIn = &FailingList;

    EXPECT_FALSE(TerminateProcessesByName("vxagent.exe"));
    EXPECT_EQ((std::vector<DWORD>{1024}), g_listCapacities);
    EXPECT_TRUE(host.IsRunning());
    EXPECT_EQ(nullptr, GetModuleHandleA("psapi.dll"));
}

// Wine's per-program DLL overrides, which make it prefer a psapi.dll beside the program to its own,
// as Windows would for a DLL it does not know; removed again when the test is done.
class CPreferPlantedPsapi {
public:
    explicit CPreferPlantedPsapi(const char* program)
        : m_key(std::string("Software\\Wine\\AppDefaults\\") + program) {
        HKEY overrides = nullptr;
        const char value[] = "native,builtin";
        RegCreateKeyExA(HKEY_CURRENT_USER, (m_key + "\\DllOverrides").c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &overrides, nullptr);
        RegSetValueExA(overrides, "psapi", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof(value));
        RegCloseKey(overrides);
    }
    ~CPreferPlantedPsapi() { RegDeleteTreeA(HKEY_CURRENT_USER, m_key.c_str()); }

private:
    std::string m_key;
};

TEST_F(ProcessTerminatorTest, APsapiPlantedBesideTheProgramIsNotLoaded) {
    const std::string folder = m_folder + "\\downloads";
    const std::string program = folder + "\\vxterminatorhost.exe";
    const std::string marker = folder + "\\planted.loaded";
    ASSERT_TRUE(CreateFolderPath(folder));
    ASSERT_TRUE(CopyFileA(HelperProgram("vxterminatorhost.exe").c_str(), program.c_str(), FALSE));
    ASSERT_TRUE(
        CopyFileA(HelperProgram("planted\\psapi.dll").c_str(), (folder + "\\psapi.dll").c_str(), FALSE));
    const CPreferPlantedPsapi preferPlanted("vxterminatorhost.exe");

    for (const char* arguments : {" bare", ""}) {
        SCOPED_TRACE(arguments);
        DeleteFileA(marker.c_str());
        CChildProcess host;
        DWORD exitCode = 1;
        ASSERT_TRUE(host.Start("\"" + program + "\"" + arguments, folder.c_str()));
        ASSERT_TRUE(host.WaitForExit(kGenerousWaitMs, &exitCode));
        EXPECT_EQ(0u, exitCode);
        // A load by the bare name takes the planted library: the situation is real.
        EXPECT_EQ(arguments[0] != '\0', FileExists(marker));
    }
}

}  // namespace
