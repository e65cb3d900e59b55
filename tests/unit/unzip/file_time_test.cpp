// The unpacked files' times under the time zone this run was started with (TZ); CTest runs this
// program under several zones, one of them in daylight saving time now.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "files.h"
#include "unzip/unzipper.h"
#include "zip_writer.h"

namespace {

uint64_t Ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

uint16_t DosDate(int year, int month, int day) {
    return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

uint16_t DosTime(int hour, int minute, int second) {
    return static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

// The entry's time as local time, turned into UTC with the offset in force now (whatever the
// offset at the entry's own date was).
uint64_t ExpectedUtc(int year, int month, int day, int hour, int minute, int second) {
    SYSTEMTIME local = {};
    local.wYear = static_cast<WORD>(year);
    local.wMonth = static_cast<WORD>(month);
    local.wDay = static_cast<WORD>(day);
    local.wHour = static_cast<WORD>(hour);
    local.wMinute = static_cast<WORD>(minute);
    local.wSecond = static_cast<WORD>(second);
    FILETIME asIfUtc = {};
    EXPECT_TRUE(SystemTimeToFileTime(&local, &asIfUtc));
    TIME_ZONE_INFORMATION zone = {};
    const DWORD state = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias;
    if (state == TIME_ZONE_ID_DAYLIGHT) {
        bias += zone.DaylightBias;
    } else if (state == TIME_ZONE_ID_STANDARD) {
        bias += zone.StandardBias;
    }
    return Ticks(asIfUtc) + static_cast<int64_t>(bias) * 60 * 10000000;
}

struct CFileTimes {
    uint64_t creation = 0;
    uint64_t lastWrite = 0;
};

CFileTimes ReadTimes(const std::string& path) {
    CFileTimes times;
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file) << path;
    FILETIME creation = {};
    FILETIME access = {};
    FILETIME write = {};
    EXPECT_TRUE(GetFileTime(file, &creation, &access, &write));
    CloseHandle(file);
    times.creation = Ticks(creation);
    times.lastWrite = Ticks(write);
    return times;
}

TEST(FileTime, TheTimeZoneOfThisRunIsInForce) {
    TIME_ZONE_INFORMATION zone = {};
    const DWORD state = GetTimeZoneInformation(&zone);
    const char* bias = getenv("VX_EXPECTED_TZ_BIAS");
    const char* daylightSaving = getenv("VX_EXPECTED_TZ_DAYLIGHT_SAVING");
    if (bias == nullptr || daylightSaving == nullptr) {
        GTEST_SKIP() << "started without an expected time zone";
    }
    EXPECT_EQ(atoi(bias), zone.Bias) << getenv("TZ");
    const bool hasDaylightSaving = zone.DaylightDate.wMonth != 0;
    EXPECT_EQ(atoi(daylightSaving) != 0, hasDaylightSaving) << getenv("TZ");
    printf("TZ=%s: bias %ld, %s now\n", getenv("TZ"), zone.Bias,
           state == TIME_ZONE_ID_DAYLIGHT ? "daylight saving time" : "standard time");
}

TEST(FileTime, CreationAndLastWriteAreTheEntryTimeWithTodaysOffset) {
    CSandbox sandbox;
    std::vector<CZipEntry> entries = {DeflatedEntry("winter.txt", "winter"),
                                      StoredEntry("summer.txt", "summer"), StoredEntry("sub/empty.txt", "")};
    entries[0].dosDate = DosDate(2021, 1, 15);
    entries[0].dosTime = DosTime(10, 30, 20);
    entries[1].dosDate = DosDate(2021, 7, 15);
    entries[1].dosTime = DosTime(23, 59, 58);
    entries[2].dosDate = DosDate(1999, 12, 31);
    entries[2].dosTime = DosTime(0, 0, 0);
    ASSERT_TRUE(WriteWholeFile(sandbox.Path("p.zip"), BuildZip(entries)));
    ASSERT_TRUE(CUnzipper::ExtractArchive(sandbox.Path("p.zip").c_str(), sandbox.Path("dest").c_str()));

    const uint64_t winter = ExpectedUtc(2021, 1, 15, 10, 30, 20);
    const uint64_t summer = ExpectedUtc(2021, 7, 15, 23, 59, 58);
    const uint64_t empty = ExpectedUtc(1999, 12, 31, 0, 0, 0);
    EXPECT_EQ(winter, ReadTimes(sandbox.Path("dest\\winter.txt")).lastWrite);
    EXPECT_EQ(winter, ReadTimes(sandbox.Path("dest\\winter.txt")).creation);
    EXPECT_EQ(summer, ReadTimes(sandbox.Path("dest\\summer.txt")).lastWrite);
    EXPECT_EQ(summer, ReadTimes(sandbox.Path("dest\\summer.txt")).creation);
    EXPECT_EQ(empty, ReadTimes(sandbox.Path("dest\\sub\\empty.txt")).lastWrite);
    EXPECT_EQ(empty, ReadTimes(sandbox.Path("dest\\sub\\empty.txt")).creation);
}

TEST(FileTime, AnInvalidDosDateKeepsTheTimeOfWriting) {
    CSandbox sandbox;
    std::vector<CZipEntry> entries = {StoredEntry("month13.txt", "a"), StoredEntry("zero.txt", "b")};
    entries[0].dosDate = static_cast<uint16_t>(((2021 - 1980) << 9) | (13 << 5) | 1);
    entries[1].dosDate = 0;
    entries[1].dosTime = 0;
    ASSERT_TRUE(WriteWholeFile(sandbox.Path("p.zip"), BuildZip(entries)));
    FILETIME before = {};
    FILETIME after = {};
    GetSystemTimeAsFileTime(&before);
    ASSERT_TRUE(CUnzipper::ExtractArchive(sandbox.Path("p.zip").c_str(), sandbox.Path("dest").c_str()));
    GetSystemTimeAsFileTime(&after);
    const uint64_t slack = 2ull * 10000000;  // the file system's own resolution
    for (const char* name : {"dest\\month13.txt", "dest\\zero.txt"}) {
        const uint64_t written = ReadTimes(sandbox.Path(name)).lastWrite;
        EXPECT_GE(written + slack, Ticks(before)) << name;
        EXPECT_LE(written, Ticks(after) + slack) << name;
    }
}

}  // namespace
