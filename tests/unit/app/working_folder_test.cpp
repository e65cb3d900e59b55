// The working folder's paths and the settings file info.dat, on the real profile functions.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "app/working_folder.h"

namespace {

TEST(AppendBounded, RefusesToCutAndLeavesTheTextAlone) {
    char buffer[8] = "abc";
    EXPECT_TRUE(AppendBounded(buffer, sizeof(buffer), "defg"));  // 7 characters and the terminator
    EXPECT_STREQ("abcdefg", buffer);
    EXPECT_FALSE(AppendBounded(buffer, sizeof(buffer), "h"));
    EXPECT_STREQ("abcdefg", buffer);
}

TEST(WorkingFolder, PrimaryAndBackupHaveFoldersAndSettingsOfTheirOwn) {
    char folder[MAX_PATH];
    char settings[MAX_PATH];
    ASSERT_TRUE(BuildProductFolder("C:\\users\\Public\\Documents", folder));
    ASSERT_TRUE(BuildWorkingFolder(kPrimaryServer, folder, settings));
    EXPECT_STREQ("C:\\users\\Public\\Documents\\Vantorix\\Customer", folder);
    EXPECT_STREQ("C:\\users\\Public\\Documents\\Vantorix\\Customer\\info.dat", settings);

    ASSERT_TRUE(BuildProductFolder("C:\\users\\Public\\Documents", folder));
    ASSERT_TRUE(BuildWorkingFolder(kBackupServer, folder, settings));
    EXPECT_STREQ("C:\\users\\Public\\Documents\\Vantorix\\Customer_Backup", folder);
    EXPECT_STREQ("C:\\users\\Public\\Documents\\Vantorix\\Customer_Backup\\info.dat", settings);
}

TEST(WorkingFolder, NoSharedDocumentsFolderMeansTheRootOfTheDrive) {
    char folder[MAX_PATH];
    ASSERT_TRUE(BuildProductFolder("", folder));
    EXPECT_STREQ("\\Vantorix", folder);
}

TEST(WorkingFolder, PathsThatDoNotFitAreRefusedNotCut) {
    char folder[MAX_PATH];
    char settings[MAX_PATH];
    // 250 + "\\Vantorix" (9) = 259 fits exactly; the working folder no longer does.
    const std::string base = "C:\\" + std::string(247, 'd');
    ASSERT_TRUE(BuildProductFolder(base.c_str(), folder));
    EXPECT_EQ(259u, strlen(folder));
    EXPECT_FALSE(BuildWorkingFolder(kPrimaryServer, folder, settings));

    // The working folder fits, "\\info.dat" after it does not.
    const std::string shorter = "C:\\" + std::string(237, 'd');  // working folder: 258 characters
    ASSERT_TRUE(BuildProductFolder(shorter.c_str(), folder));
    EXPECT_FALSE(BuildWorkingFolder(kPrimaryServer, folder, settings));

    EXPECT_FALSE(BuildProductFolder(std::string(251, 'd').c_str(), folder));
}

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH] = {};
        GetTempPathA(sizeof(temp), temp);
        m_folder = std::string(temp) + "vx_settings_test";
        CreateDirectoryA(m_folder.c_str(), nullptr);
        m_settings = m_folder + "\\info.dat";
        DeleteFileA(m_settings.c_str());
    }
    void TearDown() override {
        DeleteFileA(m_settings.c_str());
        RemoveDirectoryA(m_folder.c_str());
    }
    std::string FileText() {
        std::ifstream in(m_settings, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string m_folder;
    std::string m_settings;
};

TEST_F(SettingsFileTest, FirstRunReadsEmptyAndCreatesTheFileOnWrite) {
    char version[10];
    memset(version, 'x', sizeof(version));
    ReadInstalledVersion(m_settings.c_str(), version);
    EXPECT_STREQ("", version);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(m_settings.c_str()));

    RecordAccessCode(m_settings.c_str(), -5);
    RecordInstalledVersion(m_settings.c_str(), "1.2.3");
    char value[32] = {};
    GetPrivateProfileStringA("server", "code_str", "", value, sizeof(value), m_settings.c_str());
    EXPECT_STREQ("-5", value);
    GetPrivateProfileStringA("server", "restarted", "", value, sizeof(value), m_settings.c_str());
    EXPECT_STREQ("1", value);
    ReadInstalledVersion(m_settings.c_str(), version);
    EXPECT_STREQ("1.2.3", version);
}

TEST_F(SettingsFileTest, LongVersionReadsCutToNineCharacters) {
    WritePrivateProfileStringA("server", "version", "0123456789abc", m_settings.c_str());
    char version[10];
    ReadInstalledVersion(m_settings.c_str(), version);
    EXPECT_STREQ("012345678", version);
}

TEST_F(SettingsFileTest, OtherSectionsAndKeysSurviveOurWrites) {
    {
        std::ofstream out(m_settings, std::ios::binary);
        out << "[host]\r\nmode=quiet\r\n[server]\r\nversion=1.0\r\nport=5938\r\n";
    }
    RecordAccessCode(m_settings.c_str(), 123);
    RecordInstalledVersion(m_settings.c_str(), "2.0");
    char value[32] = {};
    GetPrivateProfileStringA("host", "mode", "", value, sizeof(value), m_settings.c_str());
    EXPECT_STREQ("quiet", value);
    GetPrivateProfileStringA("server", "port", "", value, sizeof(value), m_settings.c_str());
    EXPECT_STREQ("5938", value);
    GetPrivateProfileStringA("server", "version", "", value, sizeof(value), m_settings.c_str());
    EXPECT_STREQ("2.0", value);
    EXPECT_NE(std::string::npos, FileText().find("code_str=123"));
}

TEST_F(SettingsFileTest, EnterFolderCreatesEntersAndHoldsAndRefusesAFile) {
    const std::string sub = m_folder + "\\Customer";
    CScopedHandle held;
    ASSERT_TRUE(EnterFolder(sub.c_str(), held));
    char current[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof(current), current);
    EXPECT_STREQ(sub.c_str(), current);
    // While held, the folder can be neither renamed nor removed, so no link can take its place.
    SetCurrentDirectoryA(m_folder.c_str());
    EXPECT_FALSE(MoveFileA(sub.c_str(), (m_folder + "\\moved").c_str()));
    EXPECT_FALSE(RemoveDirectoryA(sub.c_str()));
    held.Close();
    EXPECT_TRUE(EnterFolder(sub.c_str(), held));  // an existing folder is fine
    held.Close();

    SetCurrentDirectoryA(m_folder.c_str());
    RemoveDirectoryA(sub.c_str());
    {
        std::ofstream out(sub, std::ios::binary);
        out << "not a folder";
    }
    EXPECT_FALSE(EnterFolder(sub.c_str(), held));
    EXPECT_FALSE(held.IsValid());
    DeleteFileA(sub.c_str());
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof(temp), temp);
    SetCurrentDirectoryA(temp);
}

TEST_F(SettingsFileTest, ASettingsFileWithASecondNameIsRefused) {
    EXPECT_TRUE(IsSettingsFileSingle(m_settings.c_str())) << "absent: the first write creates it";
    EXPECT_TRUE(RecordInstalledVersion(m_settings.c_str(), "1.0")) << "written and flushed";
    EXPECT_TRUE(IsSettingsFileSingle(m_settings.c_str()));

    const std::string other = m_folder + "\\other.dat";
    ASSERT_TRUE(CreateHardLinkA(other.c_str(), m_settings.c_str(), nullptr));
    EXPECT_FALSE(IsSettingsFileSingle(m_settings.c_str()));
    // Not flushed as ours: the caller keeps the journal that vouches for the version.
    EXPECT_FALSE(RecordInstalledVersion(m_settings.c_str(), "2.0"));
    EXPECT_FALSE(RecordAccessCode(m_settings.c_str(), 1));
    DeleteFileA(other.c_str());
}

}  // namespace
