// Reserved device names and entry names that would leave their folder. The entry names are the
// table the package tool checks against too (tests/data/entry_names.tsv).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "unzip/entry_name_rules.h"
#include "unzip/staging_folder.h"

namespace {

std::wstring Wide(const std::string& utf8) {
    wchar_t wide[MAX_PATH] = {};
    if (!utf8.empty()) {
        EXPECT_LT(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, wide, MAX_PATH))
            << utf8;
    }
    return wide;
}

TEST(IsReservedDeviceName, EveryDeviceInAnyCaseWithOrWithoutExtension) {
    std::vector<std::string> devices = {"CON", "PRN", "AUX", "NUL"};
    for (const char* digit :
         {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"}) {
        devices.push_back(std::string("COM") + digit);
        devices.push_back(std::string("LPT") + digit);
    }
    for (const std::string& device : devices) {
        std::string lower = device;
        for (char& c : lower) {
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
        std::string mixed = lower;
        mixed[0] = device[0];
        for (const std::string& name : {device, lower, mixed, device + ".zip", lower + ".tar.gz", mixed + ".",
                                        device + " ", device + " .txt", device + ":"}) {
            EXPECT_TRUE(IsReservedDeviceName(Wide(name).c_str())) << name;
        }
    }
}

TEST(IsReservedDeviceName, LookAlikesAreOrdinaryNames) {
    for (const char* name : {"", "CONSOLE", "CO", "xCON", "CON_", "COM", "COM10", "LPT", "LPTX",
                             "AUXILIARY.zip", " CON", "NULL.txt", "1.2.3.zip", "COM1x.zip", "readme.con",
                             "COM\xC2\xBD", "LPT\xE2\x81\xB4", "COM\xEF\xBC\x91"}) {
        EXPECT_FALSE(IsReservedDeviceName(Wide(name).c_str())) << name;
    }
    EXPECT_FALSE(IsReservedDeviceName(nullptr));
}

TEST(IsSafeEntryName, TheSharedTableOfEntryNames) {
    const char* table = getenv("VX_ENTRY_NAMES");
    ASSERT_NE(nullptr, table) << "VX_ENTRY_NAMES names the table";
    std::istringstream lines(ReadWholeFile(table));
    int cases = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const size_t tab = line.find('\t');
        ASSERT_NE(std::string::npos, tab) << line;
        const std::string verdict = line.substr(0, tab);
        const std::string name = line.substr(tab + 1);
        ASSERT_TRUE(verdict == "safe" || verdict == "unsafe" || verdict == "staging" || verdict == "alias")
            << line;
        EXPECT_EQ(verdict != "unsafe", IsSafeEntryName(Wide(name).c_str())) << name;
        if (verdict != "unsafe") {
            EXPECT_EQ(verdict == "staging", IsStagingName(Wide(name).c_str())) << name;
        }
        ++cases;
    }
    EXPECT_LT(50, cases);
    EXPECT_FALSE(IsSafeEntryName(nullptr));
}

}  // namespace
