#include "system/self_removal.h"

#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "system/exact_path.h"
#include "system/scoped_handles.h"
#include "system/system_folder.h"

PFN_START_INTERPRETER g_pfnStartInterpreter = &CreateProcessW;

namespace {

// A name of its own for each run: a script of an earlier run may still be inside its minute, and
// it reads its file anew by name and offset for every line. The process identifier is unique
// among the running programs, but a script whose run was ended early stays behind under an
// identifier a later process gets again: CREATE_NEW refuses a name that is taken, and the next
// one is tried (the high byte counts the tries; identifiers stay far below it).
const char kScriptNameFormat[] = "_uninsep%08lX.bat";
const size_t kScriptNameLength = sizeof("_uninsep12345678.bat") - 1;
const DWORD kScriptNameTries = 16;

// cmd reads each line anew when it runs it: "%vxTries%" is the count so far. Each try pauses about
// a second (ping's second echo); after the last the program file is left where it is.
const char kScriptTemplate[] =
    "set vxTries=0\r\n"
    ":Repeat\r\n"
    "del /f \"%s\"\r\n"
    "if not exist \"%s\" goto Removed\r\n"
    "set /a vxTries+=1\r\n"
    "if %%vxTries%% geq %lu goto Done\r\n"
    "\"%s\" -n 2 127.0.0.1 >nul\r\n"
    "goto Repeat\r\n"
    ":Removed\r\n"
    "%s"
    ":Done\r\n"
    "del \"%s\"";
const char kFolderLineTemplate[] = "rmdir \"%s\"\r\n";
// The count of tries takes up to ten digits.
static_assert(sizeof(kScriptTemplate) + sizeof(kFolderLineTemplate) + 10 < 256, "the script's fixed text");

const size_t kEscapedPathCapacity = 2 * (kScriptPathCapacity - 1) + 1;

// The command interpreter expands "%name%" in a batch file; "%%" stands for one "%". No code page
// cmd reads has 0x25 as the second byte of a character.
void DoublePercentSigns(const char* path, char (&escaped)[kEscapedPathCapacity]) {
    size_t length = 0;
    for (const char* c = path; *c != '\0' && length + 2 < sizeof(escaped); ++c) {
        escaped[length++] = *c;
        if (*c == '%') {
            escaped[length++] = '%';
        }
    }
}

// The path as cmd can name it, in the OEM code page it reads the script in: converted exactly,
// else its short form converted exactly, else there is no script.
bool ScriptPathOf(const wchar_t* path, char (&oem)[kScriptPathCapacity]) {
    return ToCodePagePath(path, CP_OEMCP, oem, sizeof(oem));
}

// The long form without trailing backslashes, for comparing two names of one folder.
void Normalise(const wchar_t* path, wchar_t (&normal)[MAX_PATH]) {
    const DWORD length = GetLongPathNameW(path, normal, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        wmemset(normal, 0, MAX_PATH);
        wcsncpy(normal, path, MAX_PATH - 1);
    }
    for (size_t end = wcslen(normal); end > 0 && normal[end - 1] == L'\\'; --end) {
        normal[end - 1] = L'\0';
    }
}

// Compared as the file system compares names: in UTF-16, ignoring case.
bool IsSameFolder(const wchar_t* first, const wchar_t* second) {
    wchar_t firstNormal[MAX_PATH] = {};
    wchar_t secondNormal[MAX_PATH] = {};
    Normalise(first, firstNormal);
    Normalise(second, secondNormal);
    return CompareStringOrdinal(firstNormal, -1, secondNormal, -1, TRUE) == CSTR_EQUAL;
}

struct CTaskMemoryTraits {
    static PWSTR Empty() { return nullptr; }
    static bool IsValid(PWSTR p) { return p != nullptr; }
    static void Release(PWSTR p) { CoTaskMemFree(p); }
};
using CScopedTaskString = CScopedResource<PWSTR, CTaskMemoryTraits>;

const KNOWNFOLDERID* const kKnownFolders[] = {
    &FOLDERID_Downloads, &FOLDERID_Desktop,       &FOLDERID_Documents,       &FOLDERID_Profile,
    &FOLDERID_Public,    &FOLDERID_PublicDesktop, &FOLDERID_PublicDocuments, &FOLDERID_PublicDownloads};

}  // namespace

size_t FormatSelfRemovalScript(const char* programPath, const char* programFolder, const char* pausePath,
                               const char* scriptPath, DWORD tries,
                               char (&text)[kSelfRemovalScriptCapacity]) {
    char escapedProgram[kEscapedPathCapacity] = {};
    char escapedPause[kEscapedPathCapacity] = {};
    char escapedScript[kEscapedPathCapacity] = {};
    DoublePercentSigns(programPath, escapedProgram);
    DoublePercentSigns(pausePath, escapedPause);
    DoublePercentSigns(scriptPath, escapedScript);
    char folderLine[sizeof(kFolderLineTemplate) + kEscapedPathCapacity] = {};
    if (programFolder != nullptr) {
        char escapedFolder[kEscapedPathCapacity] = {};
        DoublePercentSigns(programFolder, escapedFolder);
        snprintf(folderLine, sizeof(folderLine), kFolderLineTemplate, escapedFolder);
    }
    const int length = snprintf(text, sizeof(text), kScriptTemplate, escapedProgram, escapedProgram,
                                static_cast<unsigned long>(tries), escapedPause, folderLine, escapedScript);
    return length > 0 ? static_cast<size_t>(length) : 0;
}

bool IsKnownFolder(const wchar_t* folder) {
    wchar_t volume[MAX_PATH] = {};
    if (!GetVolumePathNameW(folder, volume, MAX_PATH) || IsSameFolder(folder, volume)) {
        return true;  // a drive root, or a folder whose volume is unknown
    }
    wchar_t temp[MAX_PATH] = {};
    const DWORD tempLength = GetTempPathW(MAX_PATH, temp);
    if (tempLength > 0 && tempLength < MAX_PATH && IsSameFolder(folder, temp)) {
        return true;
    }
    for (const KNOWNFOLDERID* id : kKnownFolders) {
        PWSTR path = nullptr;
        const HRESULT result = SHGetKnownFolderPath(*id, KF_FLAG_DONT_VERIFY, nullptr, &path);
        CScopedTaskString owner(path);
        if (SUCCEEDED(result) && path != nullptr && IsSameFolder(folder, path)) {
            return true;
        }
    }
    return false;
}

bool StartSelfRemovalScript(DWORD tries) {
    // Taken in UTF-16: the ANSI forms hold "?" or look-alikes for what the ANSI code page lacks.
    wchar_t programPath[MAX_PATH] = {};
    const DWORD programLength = GetModuleFileNameW(nullptr, programPath, MAX_PATH);
    if (programLength == 0 || programLength >= MAX_PATH) {
        return true;
    }
    wchar_t programFolder[MAX_PATH] = {};
    wcscpy(programFolder, programPath);
    if (wchar_t* lastBackslash = wcsrchr(programFolder, L'\\')) {
        *lastBackslash = L'\0';
    }

    wchar_t scriptPath[MAX_PATH] = {};
    const DWORD tempLength = GetTempPathW(MAX_PATH, scriptPath);
    if (tempLength == 0 || tempLength + kScriptNameLength >= MAX_PATH) {
        return true;  // a name that does not fit would be cut and name another file
    }

    // Every path the script names must reach cmd as the name of the real file, or there is no script.
    char oemTemp[kScriptPathCapacity] = {};
    char oemProgram[kScriptPathCapacity] = {};
    char oemFolder[kScriptPathCapacity] = {};
    char oemPause[kScriptPathCapacity] = {};
    wchar_t pausePath[MAX_PATH] = {};
    wchar_t interpreterPath[MAX_PATH] = {};
    const bool removeFolder = !IsKnownFolder(programFolder);
    if (!ScriptPathOf(scriptPath, oemTemp) || strlen(oemTemp) + kScriptNameLength >= sizeof(oemTemp) ||
        !ScriptPathOf(programPath, oemProgram) || (removeFolder && !ScriptPathOf(programFolder, oemFolder)) ||
        !SystemFolderFile(L"PING.EXE", pausePath) || !ScriptPathOf(pausePath, oemPause) ||
        !SystemFolderFile(L"cmd.exe", interpreterPath)) {
        return true;
    }
    const size_t oemTempLength = strlen(oemTemp);

    char text[kSelfRemovalScriptCapacity] = {};
    size_t length = 0;
    CScopedHandle script;
    for (DWORD attempt = 0; attempt < kScriptNameTries && !script.IsValid(); ++attempt) {
        char scriptName[kScriptNameLength + 1] = {};
        snprintf(scriptName, sizeof(scriptName), kScriptNameFormat,
                 (GetCurrentProcessId() & 0x00FFFFFF) | (attempt << 24));
        oemTemp[oemTempLength] = '\0';
        strcat(oemTemp, scriptName);
        for (size_t i = 0; i < kScriptNameLength; ++i) {
            scriptPath[tempLength + i] = static_cast<wchar_t>(scriptName[i]);
        }
        memset(text, 0, sizeof(text));
        length = FormatSelfRemovalScript(oemProgram, removeFolder ? oemFolder : nullptr, oemPause, oemTemp,
                                         tries, text);
        // Never through an existing file or link of that name; DELETE lets a short write be taken back.
        script.Reset(CreateFileW(scriptPath, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!script.IsValid() && GetLastError() != ERROR_FILE_EXISTS) {
            return true;
        }
    }
    if (!script.IsValid()) {
        return true;
    }
    DWORD written = 0;
    if (!WriteFile(script.Get(), text, static_cast<DWORD>(length), &written, nullptr) || written != length) {
        // A line cut short could name another file.
        FILE_DISPOSITION_INFO disposition = {TRUE};
        SetFileInformationByHandle(script.Get(), FileDispositionInfo, &disposition, sizeof(disposition));
        return true;
    }
    script.Close();

    // The system's own interpreter: no batfile association, no AutoRun commands (/d), no delayed
    // expansion of "!" (/v:off), the extensions "set /a" needs (/e:on). CREATE_NO_WINDOW hides it
    // where a console host would ignore SW_HIDE. cmd expands a defined "%name%" on its /c line, and
    // "%%" is no escape there: the line names the script by its bare name, which holds no "%", and
    // the script's folder is the current folder, which cmd looks in first.
    wchar_t commandLine[MAX_PATH + 64] = {};
    _snwprintf(commandLine, sizeof(commandLine) / sizeof(commandLine[0]) - 1,
               L"\"%ls\" /d /v:off /e:on /c %ls", interpreterPath, scriptPath + tempLength);
    scriptPath[tempLength] = L'\0';
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (g_pfnStartInterpreter(interpreterPath, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                              nullptr, scriptPath, &startup, &process)) {
        CScopedHandle processHandle(process.hProcess);
        CScopedHandle threadHandle(process.hThread);
    }
    return true;
}
