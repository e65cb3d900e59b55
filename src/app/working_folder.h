// The product's working folder under the shared documents folder, and its settings file info.dat
// (section "server": "version", "code_str", "restarted"). Every path is built by appends that refuse
// to cut: a path that would not fit in MAX_PATH characters is reported as a failure, never shortened.
#pragma once

#include <windows.h>

#include "system/link_checks.h"
#include "system/scoped_handles.h"

enum EServerChoice { kPrimaryServer = 1, kBackupServer = 2 };

// Appends text to a zero-terminated string in a buffer of capacity bytes; false, leaving the
// string as it was, when the result would not fit.
bool AppendBounded(char* buffer, size_t capacity, const char* text);

// folder := sharedDocuments + "\\Vantorix"; false when it does not fit.
bool BuildProductFolder(const char* sharedDocuments, char (&folder)[MAX_PATH]);

// Appends "\\Customer" or "\\Customer_Backup" to the product folder and builds "%s\\info.dat";
// false when either does not fit.
bool BuildWorkingFolder(int serverChoice, char (&folder)[MAX_PATH], char (&settingsPath)[MAX_PATH]);

// Creates the folder (an existing one is fine), holds it as HoldRealFolder does and makes it the
// current directory.
bool EnterFolder(const char* folder, CScopedHandle& held);

// True when info.dat is absent or a file with a single name: the profile calls would write through
// a hard link into the file it shares with another folder.
bool IsSettingsFileSingle(const char* settingsPath);

// The installed version, at most 9 characters; empty when the file or the key is missing.
void ReadInstalledVersion(const char* settingsPath, char (&version)[10]);
// Each writes its keys and then flushes info.dat, so that a power cut after it cannot lose them;
// false when the file could not be written or flushed.
bool RecordAccessCode(const char* settingsPath, int accessCode);
bool RecordInstalledVersion(const char* settingsPath, const char* version);
