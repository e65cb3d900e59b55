// Stand-in for the product's host program vxagent.exe, for the end-to-end tests of the starter.
//
// Every start appends one line to standin.log in the program's own folder: a JSON object in pure
// ASCII (a byte outside 0x20..0x7E is written as \u00XX, so that text.encode("latin-1") gives the
// ANSI bytes back). For example:
//   {"seq": 3, "tick_ms": 5273911, "pid": 296, "verb": "-start",
//    "path": "C:\\users\\Public\\Documents\\Vantorix\\Customer\\vxagent.exe",
//    "info": {"code_str": "123456", "restarted": "1", "version": null}}
// (on one line).
//   seq      1 on the file's first line, then counting up; starts are recorded one at a time
//   tick_ms  GetTickCount64 at the start, one monotonic clock for every process of the machine
//   pid      the process identifier
//   verb     the whole command line after the program name, "" when there is none
//   path     the program's own full path
//   info     the values of info.dat's section [server] in the program's folder at that start;
//            null for a key that is not there
// From Python: [json.loads(line) for line in open(path, encoding="ascii")]
//
// Then it acts like the real host: "-stop", "-remove" and "-install" end at once with exit code 0;
// "-start" or no verb stays running (ten minutes at most, unless terminated); any other verb ends
// at once.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kInfoKeys[] = {"code_str", "restarted", "version"};
const DWORD kRunningMs = 10 * 60 * 1000;

void AppendJsonString(std::string& json, const char* text) {
    json += '"';
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; ++c) {
        if (*c == '"' || *c == '\\') {
            json += '\\';
            json += static_cast<char>(*c);
        } else if (*c < 0x20 || *c > 0x7E) {
            char escaped[8] = {};
            snprintf(escaped, sizeof(escaped), "\\u%04x", *c);
            json += escaped;
        } else {
            json += static_cast<char>(*c);
        }
    }
    json += '"';
}

// The [server] values of the settings file, null for a key that is not there.
std::string InfoJson(const std::string& settingsPath) {
    char keys[4096] = {};
    GetPrivateProfileStringA("server", nullptr, "", keys, sizeof(keys), settingsPath.c_str());
    std::string json = "{";
    for (const char* wanted : kInfoKeys) {
        json += std::string(json.size() > 1 ? ", " : "") + "\"" + wanted + "\": ";
        bool present = false;
        for (const char* key = keys; *key != '\0'; key += strlen(key) + 1) {
            present = present || lstrcmpiA(key, wanted) == 0;
        }
        if (present) {
            char value[1024] = {};
            GetPrivateProfileStringA("server", wanted, "", value, sizeof(value), settingsPath.c_str());
            AppendJsonString(json, value);
        } else {
            json += "null";
        }
    }
    return json + "}";
}

// Appends the line under an exclusive open, so that the line count gives the next sequence number.
void Record(const std::string& logPath, const std::string& lineWithoutSeq) {
    HANDLE log = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 800 && log == INVALID_HANDLE_VALUE; ++attempt) {
        log = CreateFileA(logPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log == INVALID_HANDLE_VALUE) {
            Sleep(25);
        }
    }
    if (log == INVALID_HANDLE_VALUE) {
        return;
    }
    unsigned lines = 0;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(log, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        for (DWORD i = 0; i < read; ++i) {
            lines += chunk[i] == '\n' ? 1 : 0;
        }
    }
    const std::string line = "{\"seq\": " + std::to_string(lines + 1) + ", " + lineWithoutSeq + "}\n";
    SetFilePointer(log, 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(log);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    const ULONGLONG startTick = GetTickCount64();
    char ownPath[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, ownPath, sizeof(ownPath));
    const std::string path(ownPath);
    const std::string folder = path.substr(0, path.rfind('\\') + 1);

    std::string line = "\"tick_ms\": " + std::to_string(startTick) +
                       ", \"pid\": " + std::to_string(GetCurrentProcessId()) + ", \"verb\": ";
    AppendJsonString(line, commandLine);
    line += ", \"path\": ";
    AppendJsonString(line, ownPath);
    line += ", \"info\": " + InfoJson(folder + "info.dat");
    Record(folder + "standin.log", line);

    if (strcmp(commandLine, "-start") == 0 || commandLine[0] == '\0') {
        Sleep(kRunningMs);
    }
    return 0;
}
