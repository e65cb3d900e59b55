// Leaves a hidden batch script behind that deletes the program file once the process has ended,
// then its folder when that is empty and none of the user's or the machine's known folders, then
// itself. A program file that cannot be deleted within `tries` tries, about a second apart, stays;
// the script still deletes itself.
#pragma once

#include <windows.h>

#include <cstddef>

// The starter's: about a minute for a scanner or an indexer to let go of the program file.
const DWORD kSelfRemovalTries = 60;

bool StartSelfRemovalScript(DWORD tries);

// A path as the script holds it, in the console's (OEM) code page that the command interpreter
// reads a batch file in: up to two bytes a character, and the terminator.
const size_t kScriptPathCapacity = 2 * (MAX_PATH - 1) + 1;
// Room for the script's text: the fixed text, five paths (the program's twice) with every "%"
// doubled, and the terminator.
const size_t kSelfRemovalScriptCapacity = 256 + 5 * 2 * (kScriptPathCapacity - 1) + 1;

// The script for the given program file, its folder (nullptr when it is to stay), the pause
// command and the script file itself, all in the OEM code page, giving up after `tries` tries;
// returns its length without the terminator.
size_t FormatSelfRemovalScript(const char* programPath, const char* programFolder, const char* pausePath,
                               const char* scriptPath, DWORD tries, char (&text)[kSelfRemovalScriptCapacity]);

// True for a folder the script must never remove even when it is empty: a drive root, the
// temporary folder, the user's Downloads, Desktop, Documents and profile folders, and the public
// folders.
bool IsKnownFolder(const wchar_t* folder);

// Seam for what a test cannot see under Wine, whose cmd expands no "%name%" on its command line;
// the program leaves it as it is: starts the command interpreter (CreateProcessW).
using PFN_START_INTERPRETER = BOOL(WINAPI*)(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                            BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                                            LPPROCESS_INFORMATION);
extern PFN_START_INTERPRETER g_pfnStartInterpreter;
