#include "system/self_removal.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

#include "system/scoped_handles.h"

namespace {

const char kScriptName[] = "_uninsep.bat";
const char kScriptTemplate[] =
    ":Repeat\r\ndel \"%s\"\r\nif exist \"%s\" goto Repeat\r\nrmdir \"%s\"\r\ndel \"%s\"";
static_assert(sizeof(kScriptTemplate) - 1 == 66, "the script's template");

const size_t kEscapedPathCapacity = 2 * (MAX_PATH - 1) + 1;

// The command interpreter expands "%name%" in a batch file; "%%" stands for one "%".
void DoublePercentSigns(const char* path, char (&escaped)[kEscapedPathCapacity]) {
    size_t length = 0;
    for (const char* c = path; *c != '\0' && length + 2 < sizeof(escaped); ++c) {
        escaped[length++] = *c;
        if (*c == '%') {
            escaped[length++] = '%';
        }
    }
}

}  // namespace

size_t FormatSelfRemovalScript(const char* programPath, const char* scriptPath,
                               char (&text)[kSelfRemovalScriptCapacity]) {
    char programFolder[MAX_PATH] = {};
    strncpy(programFolder, programPath, sizeof(programFolder) - 1);
    if (char* lastBackslash = strrchr(programFolder, '\\')) {
        *lastBackslash = '\0';
    }

    char escapedProgram[kEscapedPathCapacity] = {};
    char escapedFolder[kEscapedPathCapacity] = {};
    char escapedScript[kEscapedPathCapacity] = {};
    DoublePercentSigns(programPath, escapedProgram);
    DoublePercentSigns(programFolder, escapedFolder);
    DoublePercentSigns(scriptPath, escapedScript);
    const int length = snprintf(text, sizeof(text), kScriptTemplate, escapedProgram, escapedProgram,
                                escapedFolder, escapedScript);
    return length > 0 ? static_cast<size_t>(length) : 0;
}

bool StartSelfRemovalScript() {
    char scriptPath[MAX_PATH] = {};
    char programPath[MAX_PATH] = {};
    // A name that does not fit, or a program path cut short, would name some other file.
    const DWORD tempLength = GetTempPathA(sizeof(scriptPath), scriptPath);
    if (tempLength == 0 || tempLength + sizeof(kScriptName) > sizeof(scriptPath)) {
        return true;
    }
    strcat(scriptPath, kScriptName);
    const DWORD programLength = GetModuleFileNameA(nullptr, programPath, sizeof(programPath));
    if (programLength == 0 || programLength >= sizeof(programPath)) {
        return true;
    }

    CScopedHandle script(
        CreateFileA(scriptPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!script.IsValid()) {
        return true;
    }
    char text[kSelfRemovalScriptCapacity] = {};
    const size_t length = FormatSelfRemovalScript(programPath, scriptPath, text);
    DWORD written = 0;
    WriteFile(script.Get(), text, static_cast<DWORD>(length), &written, nullptr);
    script.Close();

    ShellExecuteA(nullptr, "open", scriptPath, nullptr, nullptr, SW_HIDE);
    return true;
}
