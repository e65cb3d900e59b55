// Ends every running process whose executable is the given image name.
#pragma once

// True when at least one process was terminated.
bool TerminateProcessesByName(const char* imageName);
// True when processName is imageName (A-Z case folded) or a full path ending in it.
bool ImageNameMatches(const char* imageName, const char* processName);
