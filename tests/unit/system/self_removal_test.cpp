// The self-removal script: its text, and under Wine what the script does once the program that
// started it (a helper that calls StartSelfRemovalScript and ends) has ended.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "child_processes.h"
#include "system/self_removal.h"

using namespace systemtest;

namespace {

std::string Format(const char* programPath, const char* scriptPath) {
    char text[kSelfRemovalScriptCapacity];
    memset(text, 'x', sizeof(text));
    const size_t length = FormatSelfRemovalScript(programPath, scriptPath, text);
    EXPECT_EQ(strlen(text), length);
    return std::string(text, length);
}

TEST(SelfRemovalScriptText, FiveLinesWithThePathsInOrderAndNothingAfterTheLast) {
    EXPECT_EQ(
        ":Repeat\r\n"
        "del \"C:\\Program Files\\Vx Tools\\vxstarter.exe\"\r\n"
        "if exist \"C:\\Program Files\\Vx Tools\\vxstarter.exe\" goto Repeat\r\n"
        "rmdir \"C:\\Program Files\\Vx Tools\"\r\n"
        "del \"C:\\users\\me\\Temp\\_uninsep.bat\"",
        Format("C:\\Program Files\\Vx Tools\\vxstarter.exe", "C:\\users\\me\\Temp\\_uninsep.bat"));
}

TEST(SelfRemovalScriptText, EveryPercentSignIsDoubled) {
    EXPECT_EQ(
        ":Repeat\r\n"
        "del \"C:\\50%% off\\%%PATH%%\\vx.exe\"\r\n"
        "if exist \"C:\\50%% off\\%%PATH%%\\vx.exe\" goto Repeat\r\n"
        "rmdir \"C:\\50%% off\\%%PATH%%\"\r\n"
        "del \"C:\\t%%mp%%\\_uninsep.bat\"",
        Format("C:\\50% off\\%PATH%\\vx.exe", "C:\\t%mp%\\_uninsep.bat"));
}

TEST(SelfRemovalScriptText, TheFolderIsThePathUpToItsLastBackslash) {
    EXPECT_NE(std::string::npos, Format("C:\\vx.exe", "C:\\t\\_uninsep.bat").find("\r\nrmdir \"C:\"\r\n"));
    EXPECT_NE(std::string::npos, Format("vx.exe", "C:\\t\\_uninsep.bat").find("\r\nrmdir \"vx.exe\"\r\n"));
}

TEST(SelfRemovalScriptText, LongestPathsOfPercentSignsAreNotCut) {
    const std::string longest = "C:\\" + std::string(MAX_PATH - 6, '%') + "\\a";  // 259 characters
    const std::string doubled = "C:\\" + std::string(2 * (MAX_PATH - 6), '%') + "\\a";
    const std::string folder = doubled.substr(0, doubled.size() - 2);
    EXPECT_EQ(":Repeat\r\ndel \"" + doubled + "\"\r\nif exist \"" + doubled + "\" goto Repeat\r\nrmdir \"" +
                  folder + "\"\r\ndel \"" + doubled + "\"",
              Format(longest.c_str(), longest.c_str()));
}

std::string DoublePercentSigns(const std::string& path) {
    std::string doubled;
    for (char c : path) {
        doubled += c == '%' ? "%%" : std::string(1, c);
    }
    return doubled;
}

class SelfRemovalRunTest : public ::testing::Test {
protected:
    void SetUp() override { m_root = FreshFolder("vxsys_removal"); }
    void TearDown() override { RemoveTree(m_root); }

    // Runs a copy of the helper from programFolder with tempFolder as its temporary folder, from the
    // root folder as its current folder (which the script inherits and so cannot remove); the
    // helper copies its script to copyPath when one is given.
    void RunHost(const std::string& programFolder, const std::string& tempFolder,
                 const std::string& copyPath = "") {
        ASSERT_TRUE(CreateFolderPath(programFolder));
        ASSERT_TRUE(CreateFolderPath(tempFolder));
        m_program = programFolder + "\\vxremovalhost.exe";
        m_script = tempFolder + "\\_uninsep.bat";
        ASSERT_TRUE(CopyFileA(HelperProgram("vxremovalhost.exe").c_str(), m_program.c_str(), FALSE));
        std::vector<std::pair<std::string, std::string>> variables = {{"TMP", tempFolder},
                                                                      {"TEMP", tempFolder}};
        if (!copyPath.empty()) {
            variables.push_back({"VX_SCRIPT_COPY", copyPath});
        }
        const std::string environment = EnvironmentWith(variables);
        CChildProcess host;
        ASSERT_TRUE(host.Start("\"" + m_program + "\"", m_root.c_str(), &environment));
        DWORD exitCode = 1;
        ASSERT_TRUE(host.WaitForExit(kGenerousWaitMs, &exitCode));
        EXPECT_EQ(0u, exitCode);
    }

    std::string m_root;
    std::string m_program;
    std::string m_script;
};

TEST_F(SelfRemovalRunTest, RemovesTheProgramItsEmptyFolderAndItselfWithBlanksAndPercentSignsInThePaths) {
    const std::string programFolder = m_root + "\\program 100% %PATH% folder";
    const std::string tempFolder = m_root + "\\temp 50% %OS%";
    ASSERT_TRUE(CreateFolderPath(tempFolder));
    // A longer script left over from an earlier run: overwritten, not appended to or left in part.
    ASSERT_TRUE(WriteWholeFile(tempFolder + "\\_uninsep.bat", std::string(3000, 'x') + "\r\n"));
    const std::string copy = m_root + "\\script.copy";

    RunHost(programFolder, tempFolder, copy);

    const std::string program = DoublePercentSigns(m_program);
    EXPECT_EQ(":Repeat\r\ndel \"" + program + "\"\r\nif exist \"" + program + "\" goto Repeat\r\nrmdir \"" +
                  DoublePercentSigns(programFolder) + "\"\r\ndel \"" + DoublePercentSigns(m_script) + "\"",
              ReadWholeFile(copy));
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(m_program); })) << "the program file stays";
    EXPECT_TRUE(WaitUntil([&] { return !FolderExists(programFolder); })) << "the empty folder stays";
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(m_script); })) << "the script stays";
    EXPECT_TRUE(FolderExists(tempFolder));
}

TEST_F(SelfRemovalRunTest, KeepsAFolderThatHoldsOtherFiles) {
    const std::string programFolder = m_root + "\\shared folder";
    ASSERT_TRUE(CreateFolderPath(programFolder));
    ASSERT_TRUE(WriteWholeFile(programFolder + "\\keep.txt", "keep"));

    RunHost(programFolder, m_root + "\\temp");

    EXPECT_TRUE(WaitUntil([&] { return !FileExists(m_program); })) << "the program file stays";
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(m_script); })) << "the script stays";
    EXPECT_EQ("keep", ReadWholeFile(programFolder + "\\keep.txt"));
}

TEST_F(SelfRemovalRunTest, ATemporaryPathThatJustLeavesRoomForTheNameWorks) {
    // With its backslash the temporary path is 247 characters: the script path is 259.
    const std::string tempFolder = m_root + "\\" + std::string(246 - m_root.size() - 1, 't');
    ASSERT_EQ(246u, tempFolder.size());

    RunHost(m_root + "\\program", tempFolder);

    EXPECT_EQ(259u, m_script.size());
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(m_program); })) << "the program file stays";
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(m_script); })) << "the script stays";
}

TEST_F(SelfRemovalRunTest, ATemporaryPathWithNoRoomForTheNameWritesAndStartsNothing) {
    // One character more: "_uninsep.bat" would have to be cut to fit.
    const std::string tempFolder = m_root + "\\" + std::string(247 - m_root.size() - 1, 't');
    ASSERT_EQ(247u, tempFolder.size());

    RunHost(m_root + "\\program", tempFolder);

    EXPECT_TRUE(FolderEntries(tempFolder).empty());
    EXPECT_TRUE(FileExists(m_program));
}

}  // namespace
