// Ends every running process whose executable is the given image name, listing the processes
// through tool-help or psapi as the recorded system version allows (src/app/globals.h).
#pragma once

#include <windows.h>
#include <tlhelp32.h>

// True when at least one process was terminated. Waits for the terminated processes to be gone, up
// to 2 s for all of them together. A process tool-help lists is named again on the handle that ends it.
bool TerminateProcessesByName(const char* imageName);
// True when processName is imageName (A-Z case folded) or a full path ending in it.
bool ImageNameMatches(const char* imageName, const char* processName);

// Seams for what a test cannot see on a real system; the program leaves them as they are.
using PFN_LOAD_LIBRARY = HMODULE(WINAPI*)(LPCSTR);
using PFN_ENUM_PROCESSES = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
using PFN_LISTED_PROCESS = void (*)(PROCESSENTRY32* entry);
// The loader that binds tool-help or psapi (LoadLibraryA), so that a test sees which library is
// loaded, and that none is.
extern PFN_LOAD_LIBRARY g_pfnLoadTerminatorLibrary;
// When set, stands in for psapi's EnumProcesses (which never fills its block on a test machine).
extern PFN_ENUM_PROCESSES g_pfnEnumProcessesStandIn;
// When set, sees (and may change) each entry of the tool-help snapshot before it is looked at, as
// an identifier that went to another program meanwhile would.
extern PFN_LISTED_PROCESS g_pfnListedProcessHook;
