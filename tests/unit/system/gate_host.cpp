// Test helper: runs the elevation gate as the starter does, in a process of its own, and appends
// what happened to gatehost.log beside itself, one line per event, fields separated by tabs:
//   start <pid> <the arguments after the program name, joined by blanks> <own path>
//   pass  <pid> <membership flag, 0 or 1>   the gate returned; the process ends with 10 + flag
//   exit  <pid>                             the runtime's exit handlers ran
// With VX_GATEHOST_GROUPS=plain in its environment the token's groups read as those of a user
// outside the Administrators group.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_token_groups.h"
#include "system/elevation_gate.h"

namespace {

void Record(const std::string& line) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof(path));
    strcpy(strrchr(path, '\\') + 1, "gatehost.log");
    const std::string text = line + "\r\n";
    // Two instances, or a reading test, may hold the file for a moment.
    for (int attempt = 0; attempt < 400; ++attempt) {
        HANDLE log = CreateFileA(path, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
        if (log != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(log, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            CloseHandle(log);
            return;
        }
        Sleep(25);
    }
}

std::string OwnId() {
    return std::to_string(GetCurrentProcessId());
}

void RecordExit() {
    Record("exit\t" + OwnId());
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    std::string arguments;
    for (int i = 1; i < __argc; ++i) {
        arguments += (i > 1 ? " " : "") + std::string(__argv[i]);
    }
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, sizeof(self));
    Record("start\t" + OwnId() + "\t" + arguments + "\t" + self);
    atexit(RecordExit);

    char groups[16] = {};
    GetEnvironmentVariableA("VX_GATEHOST_GROUPS", groups, sizeof(groups));
    if (strcmp(groups, "plain") == 0) {
        SetFakeTokenGroups({{WinWorldSid, SE_GROUP_ENABLED}, {WinBuiltinUsersSid, SE_GROUP_ENABLED}});
        g_pfnGetTokenInformation = &FakeGetTokenInformation;
    }

    const bool member = ApplyElevationGate();
    Record("pass\t" + OwnId() + "\t" + (member ? "1" : "0"));
    return 10 + (member ? 1 : 0);
}
