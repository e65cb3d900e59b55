// Reserved device names and entry names that would leave their folder.
#include <gtest/gtest.h>

#include <string>

#include "unzip/entry_name_rules.h"

namespace {

TEST(IsReservedDeviceName, EveryDeviceInAnyCaseWithOrWithoutExtension) {
    std::vector<std::string> devices = {"CON", "PRN", "AUX", "NUL"};
    for (char digit = '1'; digit <= '9'; ++digit) {
        devices.push_back(std::string("COM") + digit);
        devices.push_back(std::string("LPT") + digit);
    }
    for (const std::string& device : devices) {
        std::string lower = device;
        for (char& c : lower) {
            c = static_cast<char>(tolower(c));
        }
        std::string mixed = lower;
        mixed[0] = device[0];
        for (const std::string& name : {device, lower, mixed, device + ".zip", lower + ".tar.gz", mixed + ".",
                                        device + " ", device + " .txt", device + ":"}) {
            EXPECT_TRUE(IsReservedDeviceName(name.c_str())) << name;
        }
    }
}

TEST(IsReservedDeviceName, LookAlikesAreOrdinaryNames) {
    for (const char* name : {"", "CONSOLE", "CO", "xCON", "CON_", "COM", "COM10", "LPT", "LPTX",
                             "AUXILIARY.zip", " CON", "NULL.txt", "1.2.3.zip", "COM1x.zip", "readme.con"}) {
        EXPECT_FALSE(IsReservedDeviceName(name)) << name;
    }
    EXPECT_FALSE(IsReservedDeviceName(nullptr));
}

TEST(IsSafeEntryName, NamesThatStayBelowTheFolder) {
    for (const char* name :
         {"", "a.txt", "bin\\app.dll", "bin/app.dll", "./bin/app.dll", "folder\\", "a\\\\b.txt", "a..b",
          "..a", "a\\..b\\c", "...txt", "console\\con_.txt", "version.1.2.zip"}) {
        EXPECT_TRUE(IsSafeEntryName(name)) << name;
    }
}

TEST(IsSafeEntryName, NamesThatLeaveTheFolderOrNameADevice) {
    for (const char* name : {"..",
                             "..\\x.txt",
                             "../x.txt",
                             "a\\..\\..\\x.txt",
                             "a/../x.txt",
                             "a\\..",
                             "a\\...\\x",
                             "a\\.. \\x",
                             "a/ ../x",
                             "\\x.txt",
                             "/x.txt",
                             "\\\\server\\share\\x.txt",
                             "//server/share/x.txt",
                             "\\\\?\\C:\\x.txt",
                             "C:x.txt",
                             "C:\\x.txt",
                             "a.txt:stream",
                             "a.txt::$DATA",
                             "NUL",
                             "a\\CON",
                             "CON\\a.txt",
                             "a/nul.txt",
                             "bin\\Com1.dll",
                             "lpt9\\",
                             "aux.h"}) {
        EXPECT_FALSE(IsSafeEntryName(name)) << name;
    }
    EXPECT_FALSE(IsSafeEntryName(nullptr));
}

}  // namespace
