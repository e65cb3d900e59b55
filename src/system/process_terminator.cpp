#include "system/process_terminator.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>
#include <cwchar>

#include "app/globals.h"
#include "system/exact_path.h"
#include "system/scoped_handles.h"
#include "system/system_folder.h"

PFN_LOAD_LIBRARY g_pfnLoadTerminatorLibrary = &LoadLibraryA;
PFN_ENUM_PROCESSES g_pfnEnumProcessesStandIn = nullptr;
PFN_LISTED_PROCESS g_pfnListedProcessHook = nullptr;

namespace {

// PROCESS_ALL_ACCESS as Windows Vista and later define it; what the user's own processes grant.
// psapi names a process through its modules, which takes most of it.
const DWORD kProcessAllAccess = 0x1FFFFF;
// Tool-help names a process in its list only: what it takes to name it again, end it and wait.
const DWORD kListedProcessAccess = PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
const DWORD kFirstListCapacity = 1024;
// TerminateProcess returns before the process has gone, and until then its image cannot be replaced:
// every call waits for the processes it terminated, at most this long for all of them together.
const DWORD kEndWaitMs = 2000;
// Loaded by full path: a psapi.dll planted beside a possibly elevated program must not be loaded.
const char kPsapiName[] = "psapi.DLL";

// The ANSI process record: 296 bytes in a 32-bit build, 304 in a 64-bit one, whose heap identifier is
// a pointer-sized field on an 8-byte boundary.
static_assert(sizeof(PROCESSENTRY32) == (sizeof(ULONG_PTR) == 4 ? 296 : 304), "the ANSI process record");

using PFN_CREATE_SNAPSHOT = HANDLE(WINAPI*)(DWORD, DWORD);
using PFN_PROCESS_WALK = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);
using PFN_ENUM_PROCESS_MODULES = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using PFN_GET_MODULE_BASE_NAME = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);

enum class ERoad { kNone, kToolHelp, kPsapi };

ERoad ChooseRoad() {
    if (g_osPlatformId == VER_PLATFORM_WIN32_NT) {
        if (g_osMajorVersion == 4) {
            return ERoad::kPsapi;  // NT 4 has no tool-help
        }
        return g_osMajorVersion > 4 ? ERoad::kToolHelp : ERoad::kNone;
    }
    return g_osPlatformId == VER_PLATFORM_WIN32_WINDOWS ? ERoad::kToolHelp : ERoad::kNone;
}

template <typename TFunction>
bool BindFunction(HMODULE library, const char* name, TFunction& function) {
    // Through the generic function type, which converts to any other without a warning.
    function = reinterpret_cast<TFunction>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
    return function != nullptr;
}

char FoldAsciiCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// deadline is a GetTickCount value; once it has passed, a terminated process is not waited for.
bool TerminateAndWait(HANDLE process, DWORD deadline) {
    if (!TerminateProcess(process, 0)) {
        return false;
    }
    const DWORD left = deadline - GetTickCount();  // wraps beyond kEndWaitMs once passed
    WaitForSingleObject(process, left <= kEndWaitMs ? left : 0);
    return true;
}

// The identifier may have gone to another program since the snapshot was taken (the host ends by
// itself after "-stop"): the process is named again on the handle that ends it.
bool TerminateListedProcess(const char* imageName, DWORD processId, DWORD deadline) {
    CScopedHandle process(OpenProcess(kListedProcessAccess, FALSE, processId));
    wchar_t path[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    if (!process.IsValid() || !QueryFullProcessImageNameW(process.Get(), 0, path, &length)) {
        return false;
    }
    const wchar_t* lastBackslash = wcsrchr(path, L'\\');
    char name[2 * MAX_PATH] = {};
    return ToCodePageText(lastBackslash != nullptr ? lastBackslash + 1 : path, CP_ACP, name, sizeof(name)) &&
           ImageNameMatches(imageName, name) && TerminateAndWait(process.Get(), deadline);
}

bool TerminateThroughToolHelp(const char* imageName) {
    CScopedLibrary library(g_pfnLoadTerminatorLibrary("Kernel32.DLL"));
    PFN_CREATE_SNAPSHOT createSnapshot = nullptr;
    PFN_PROCESS_WALK processFirst = nullptr;
    PFN_PROCESS_WALK processNext = nullptr;
    if (!library.IsValid() || !BindFunction(library.Get(), "CreateToolhelp32Snapshot", createSnapshot) ||
        !BindFunction(library.Get(), "Process32First", processFirst) ||
        !BindFunction(library.Get(), "Process32Next", processNext)) {
        return false;
    }
    CScopedHandle snapshot(createSnapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid()) {
        return false;
    }

    bool terminated = false;
    const DWORD deadline = GetTickCount() + kEndWaitMs;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL found = processFirst(snapshot.Get(), &entry); found;
         found = processNext(snapshot.Get(), &entry)) {
        if (g_pfnListedProcessHook != nullptr) {
            g_pfnListedProcessHook(&entry);
        }
        if (ImageNameMatches(imageName, entry.szExeFile) &&
            TerminateListedProcess(imageName, entry.th32ProcessID, deadline)) {
            terminated = true;
        }
        entry.dwSize = sizeof(entry);
    }
    return terminated;
}

bool TerminateThroughPsapi(const char* imageName) {
    char libraryPath[MAX_PATH] = {};
    if (!SystemFolderFile(kPsapiName, libraryPath)) {
        return false;
    }

    CScopedLibrary library(g_pfnLoadTerminatorLibrary(libraryPath));
    PFN_ENUM_PROCESSES enumProcesses = nullptr;
    PFN_ENUM_PROCESS_MODULES enumProcessModules = nullptr;
    PFN_GET_MODULE_BASE_NAME getModuleBaseName = nullptr;
    if (!library.IsValid() || !BindFunction(library.Get(), "EnumProcesses", enumProcesses) ||
        !BindFunction(library.Get(), "EnumProcessModules", enumProcessModules) ||
        !BindFunction(library.Get(), "GetModuleBaseNameA", getModuleBaseName)) {
        return false;
    }
    if (g_pfnEnumProcessesStandIn != nullptr) {
        enumProcesses = g_pfnEnumProcessesStandIn;
    }

    // A list that fills its block may have been cut: fetch it again into a block twice as large.
    CScopedHeapBlock block;
    DWORD capacity = kFirstListCapacity;
    DWORD returned = 0;
    for (;;) {
        if (block.IsValid()) {
            block.Close();
            capacity *= 2;
        }
        block.Reset(HeapAlloc(GetProcessHeap(), 0, capacity));
        if (!block.IsValid() || !enumProcesses(static_cast<DWORD*>(block.Get()), capacity, &returned)) {
            return false;
        }
        if (returned != capacity) {
            break;
        }
    }

    bool terminated = false;
    const DWORD deadline = GetTickCount() + kEndWaitMs;
    const DWORD* processIds = static_cast<const DWORD*>(block.Get());
    for (DWORD i = 0; i < returned / sizeof(DWORD); ++i) {
        CScopedHandle process(OpenProcess(kProcessAllAccess, FALSE, processIds[i]));
        HMODULE executable = nullptr;
        DWORD needed = 0;
        if (!process.IsValid() ||
            !enumProcessModules(process.Get(), &executable, sizeof(executable), &needed)) {
            continue;
        }
        char name[MAX_PATH] = {};
        if (getModuleBaseName(process.Get(), executable, name, sizeof(name)) == 0) {
            name[0] = '\0';
        }
        name[sizeof(name) - 1] = '\0';  // a cut name need not be terminated
        if (ImageNameMatches(imageName, name) && TerminateAndWait(process.Get(), deadline)) {
            terminated = true;
        }
    }
    return terminated;
}

}  // namespace

bool ImageNameMatches(const char* imageName, const char* processName) {
    size_t i = strlen(imageName);
    size_t j = strlen(processName);
    while (i > 0) {
        if (j == 0 || FoldAsciiCase(imageName[--i]) != FoldAsciiCase(processName[--j])) {
            return false;
        }
    }
    // Only the name itself or a path ending in it: "myvxagent.exe" is somebody else's program.
    return j == 0 || processName[j - 1] == '\\' || processName[j - 1] == '/';
}

bool TerminateProcessesByName(const char* imageName) {
    switch (ChooseRoad()) {
        case ERoad::kToolHelp:
            return TerminateThroughToolHelp(imageName);
        case ERoad::kPsapi:
            return TerminateThroughPsapi(imageName);
        case ERoad::kNone:
            break;
    }
    return false;
}
