// Leaves a hidden batch script behind that deletes the program file once the process has ended,
// then its folder when that is empty, then itself.
#pragma once

#include <windows.h>

#include <cstddef>

bool StartSelfRemovalScript();

// Room for the script's text: 58 fixed bytes, four paths of fewer than MAX_PATH characters each
// with every "%" doubled, and the terminator.
const size_t kSelfRemovalScriptCapacity = 58 + 4 * 2 * (MAX_PATH - 1) + 1;

// The script for the given program file and script file (both shorter than MAX_PATH); returns its
// length without the terminator.
size_t FormatSelfRemovalScript(const char* programPath, const char* scriptPath,
                               char (&text)[kSelfRemovalScriptCapacity]);
