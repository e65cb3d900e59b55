#include "system/elevation_gate.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <cstring>

#include "system/exact_path.h"
#include "system/scoped_handles.h"

PFN_GET_TOKEN_INFORMATION g_pfnGetTokenInformation = &GetTokenInformation;

namespace {

const char kRelaunchArgument[] = "-start";
const wchar_t kRelaunchArgumentW[] = L"-start";

// Ends the process through the runtime, so that the handlers registered for exit (the updater's
// closing) run.
[[noreturn]] void EndProcess() {
    exit(0);
}

// For a program path that no ANSI text names exactly (a folder name outside the code page, where
// not even a short name can stand in).
void RelaunchElevatedW(const wchar_t* file, const wchar_t* parameters) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"runas";
    info.lpFile = file;
    info.lpParameters = parameters;
    info.nShow = SW_SHOWNORMAL;
    CScopedHandle process(ShellExecuteExW(&info) ? info.hProcess : nullptr);
}

}  // namespace

bool IsAdministratorsMember() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_READ, &rawToken)) {
        return false;
    }
    CScopedHandle token(rawToken);

    // The first call only sizes the list.
    DWORD length = 0;
    g_pfnGetTokenInformation(token.Get(), TokenGroups, nullptr, 0, &length);
    CScopedHeapBlock groups(length != 0 ? HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, length) : nullptr);
    const BOOL read = g_pfnGetTokenInformation(token.Get(), TokenGroups, groups.Get(), length, &length);
    token.Close();
    if (!read || !groups.IsValid()) {
        return false;
    }

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID rawSid = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                  0, 0, 0, 0, &rawSid)) {
        return false;
    }
    CScopedSid administrators(rawSid);

    // The attributes do not count: an administrator's filtered token holds the group for deny only.
    const TOKEN_GROUPS* list = static_cast<const TOKEN_GROUPS*>(groups.Get());
    const SID_AND_ATTRIBUTES* entries = list->Groups;
    for (DWORD i = 0; i < list->GroupCount; ++i) {
        if (EqualSid(administrators.Get(), entries[i].Sid)) {
            return true;
        }
    }
    return false;
}

void RelaunchElevated(const char* file, const char* parameters) {
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "runas";
    info.lpFile = file;
    info.lpParameters = parameters;
    info.nShow = SW_SHOWNORMAL;
    // The new instance is not waited for: its handle is closed at once.
    CScopedHandle process(ShellExecuteExA(&info) ? info.hProcess : nullptr);
}

bool ApplyElevationGate() {
    if (!IsAdministratorsMember()) {
        return false;  // runs as started, whatever the command line says
    }
    if (__argc == 1) {
        wchar_t ownPath[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
        // A path cut short, or one whose ANSI form holds a look-alike or a '?', would name another
        // file, which must not be started elevated.
        if (length != 0 && length < MAX_PATH) {
            char ansiPath[MAX_PATH] = {};
            if (ToCodePagePath(ownPath, CP_ACP, ansiPath, sizeof(ansiPath))) {
                RelaunchElevated(ansiPath, kRelaunchArgument);
            } else {
                RelaunchElevatedW(ownPath, kRelaunchArgumentW);
            }
        }
        EndProcess();
    }
    if (__argc != 2 || strcmp(__argv[1], kRelaunchArgument) != 0) {
        EndProcess();
    }
    return true;
}
