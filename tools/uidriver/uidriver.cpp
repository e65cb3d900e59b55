// vxuidriver: drives a top-level window of another program the way a user would, for the end-to-end
// tests. Results go to standard output (UTF-8), errors to standard error. Exit code 0: done; 1: bad
// usage or the command failed; 2: time-out (the window did not come, did not go, or did not handle
// the input in time).
//
//   vxuidriver [--timeout SECONDS] [--having ID] COMMAND ARGS...
//   vxuidriver --serve       one command a line from standard input, its words separated by tabs
//                            (UTF-8); after each, the line "vxuidriver-end CODE" with its exit code.
//                            A Wine process costs far more to start than any command takes.
//
// Every command but list and screenshot names its window first, by its exact caption; it acts on the first
// visible top-level window with that caption (with --having, one that has a control with that ID),
// waiting for one to appear for up to the time-out (default 30 seconds).
//
//   wait CAPTION             until the window is shown and has finished initialising; prints its handle
//   wait-gone CAPTION        until no such window is visible any more
//   info CAPTION             key=value lines: rect, workarea (left,top,right,bottom), visible,
//                            topmost, foreground (0/1), focus (the focused control's ID, or "none")
//   text CAPTION ID          the text of control ID; ID 0 is the window's own caption
//   type CAPTION TEXT        posts one WM_CHAR per character to the focused control
//   ime CAPTION TEXT         posts one WM_IME_CHAR per character to it, as an input method commits
//   settext CAPTION TEXT     sets the focused control's text (WM_SETTEXT)
//   layout CAPTION LANGID    tells the focused control that the keyboard layout of that language
//                            (hexadecimal) is active (WM_INPUTLANGCHANGE, which Wine's default
//                            window procedure makes its thread's layout): an ANSI window then gets
//                            typed characters in that layout's code page
//   key CAPTION KEY          posts WM_KEYDOWN and WM_KEYUP of KEY to the focused control (the window
//                            when none has the focus); KEY is enter, escape, tab, space, backspace,
//                            or a virtual-key code in decimal
//   alt-f4 CAPTION           posts Alt+F4 (WM_SYSKEYDOWN, WM_SYSKEYUP) the same way
//   click CAPTION ID         posts BM_CLICK to the button ID
//   close CAPTION            posts WM_SYSCOMMAND SC_CLOSE, as the caption's close button does
//   paste CAPTION TEXT       puts TEXT on the clipboard, selects the focused field's whole text and
//                            posts WM_PASTE to it
//   progress CAPTION ID      pos, min and max of the progress bar ID (PBM_GETPOS, PBM_GETRANGE)
//   list                     one line per visible top-level window: its handle, class and caption
//   screenshot FILE [CAPTION]  the window's area of the screen (the whole screen without CAPTION)
//                            as a 24-bit BMP. With no window manager, Wine draws a caption bar
//                            only for a program whose prefix has "Decorated"="N" under
//                            HKCU\Software\Wine\AppDefaults\<program>.exe\X11 Driver.
//
// The posting commands return once the window has handled what they posted, including whatever
// that posted in turn (or once the window has ended).
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

const int kDone = 0;
const int kFailed = 1;
const int kTimedOut = 2;
const DWORD kPollMs = 20;
// Lets the window surfaces reach the screen before it is read.
const DWORD kScreenSettleMs = 300;

struct COptions {
    DWORD m_dwTimeoutMs = 30000;
    int m_nHavingId = 0;
    bool m_bHaving = false;
};

COptions g_options;
DWORD g_deadline = 0;

bool TimeLeft() {
    return static_cast<LONG>(g_deadline - GetTickCount()) > 0;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size, nullptr,
                        nullptr);
    return out;
}

// Raw bytes to the standard output, so that the text arrives as UTF-8 whatever the console's code page.
void Print(const std::wstring& text) {
    const std::string bytes = Utf8(text + L"\n");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
              nullptr);
}

int Fail(const std::wstring& message, int code = kFailed) {
    const std::string bytes = Utf8(L"vxuidriver: " + message + L"\n");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
              nullptr);
    return code;
}

bool ParseNumber(const std::wstring& text, int& value) {
    wchar_t* end = nullptr;
    const long number = wcstol(text.c_str(), &end, 10);
    if (text.empty() || *end != L'\0') {
        return false;
    }
    value = static_cast<int>(number);
    return true;
}

std::wstring RectText(const RECT& rect) {
    wchar_t text[64] = {};
    swprintf(text, 64, L"%ld,%ld,%ld,%ld", rect.left, rect.top, rect.right, rect.bottom);
    return text;
}

// --- finding the window -------------------------------------------------------------------------

struct CSearch {
    const wchar_t* m_pszCaption;
    HWND m_hFound;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
    CSearch* search = reinterpret_cast<CSearch*>(parameter);
    if (!IsWindowVisible(window)) {
        return TRUE;
    }
    wchar_t caption[512] = {};
    GetWindowTextW(window, caption, 512);
    if (wcscmp(caption, search->m_pszCaption) != 0) {
        return TRUE;
    }
    if (g_options.m_bHaving && GetDlgItem(window, g_options.m_nHavingId) == nullptr) {
        return TRUE;
    }
    search->m_hFound = window;
    return FALSE;
}

HWND FindVisibleWindow(const std::wstring& caption) {
    CSearch search = {caption.c_str(), nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.m_hFound;
}

HWND WaitForWindow(const std::wstring& caption) {
    for (;;) {
        HWND window = FindVisibleWindow(caption);
        if (window != nullptr || !TimeLeft()) {
            return window;
        }
        Sleep(kPollMs);
    }
}

bool HasEnded(HWND window) {
    return !IsWindow(window) || !IsWindowVisible(window);
}

HWND FocusOf(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) || info.hwndFocus == nullptr) {
        return nullptr;
    }
    if (info.hwndFocus != window && !IsChild(window, info.hwndFocus)) {
        return nullptr;
    }
    return info.hwndFocus;
}

bool IsEdit(HWND control) {
    wchar_t className[32] = {};
    GetClassNameW(control, className, 32);
    return _wcsicmp(className, L"Edit") == 0;
}

BOOL CALLBACK MatchEdit(HWND child, LPARAM parameter) {
    if (IsEdit(child)) {
        *reinterpret_cast<HWND*>(parameter) = child;
        return FALSE;
    }
    return TRUE;
}

bool SendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR& result) {
    const LONG left = static_cast<LONG>(g_deadline - GetTickCount());
    const UINT timeout = left > 0 ? static_cast<UINT>(left) : 1;
    return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, timeout, &result) != 0;
}

// Posted messages of one thread are handled in the order they were posted. The barrier: the edit's
// modified flag is set by a sent message (handled at once), cleared again by a posted one, and
// polled until clear, so everything posted before has been handled. A second round waits for what
// those messages posted in turn. An edit control of the window serves, as the program itself never
// looks at the flag; a window without one gets a sent WM_NULL only.
bool WaitUntilHandled(HWND window) {
    HWND edit = FocusOf(window);
    if (edit == nullptr || !IsEdit(edit)) {
        edit = nullptr;
        EnumChildWindows(window, MatchEdit, reinterpret_cast<LPARAM>(&edit));
    }
    DWORD_PTR result = 0;
    if (edit == nullptr) {
        return SendWithTimeout(window, WM_NULL, 0, 0, result) || HasEnded(window);
    }
    for (int round = 0; round < 2; ++round) {
        if (!SendWithTimeout(edit, EM_SETMODIFY, TRUE, 0, result) ||
            !PostMessageW(edit, EM_SETMODIFY, FALSE, 0)) {
            return HasEnded(window);
        }
        for (;;) {
            if (HasEnded(window)) {
                return true;
            }
            if (!SendWithTimeout(edit, EM_GETMODIFY, 0, 0, result)) {
                return HasEnded(window);
            }
            if (result == 0) {
                break;
            }
            if (!TimeLeft()) {
                return false;
            }
            Sleep(kPollMs);
        }
    }
    return true;
}

int Handled(HWND window) {
    return WaitUntilHandled(window) ? kDone : Fail(L"the window did not handle the input in time", kTimedOut);
}

// --- input --------------------------------------------------------------------------------------

LPARAM KeyParameter(UINT key, bool up, bool alt) {
    DWORD flags = MapVirtualKeyW(key, MAPVK_VK_TO_VSC);  // the scan code, in the low byte
    if (alt) {
        flags |= KF_ALTDOWN;
    }
    if (up) {
        flags |= KF_REPEAT | KF_UP;  // previous state down, transition up
    }
    return static_cast<LPARAM>((static_cast<DWORD>(flags) << 16) | 1);  // repeat count 1
}

bool KeyCode(const std::wstring& name, UINT& key) {
    static const struct {
        const wchar_t* m_pszName;
        UINT m_uKey;
    } kKeys[] = {{L"enter", VK_RETURN},
                 {L"escape", VK_ESCAPE},
                 {L"tab", VK_TAB},
                 {L"space", VK_SPACE},
                 {L"backspace", VK_BACK}};
    for (const auto& entry : kKeys) {
        if (name == entry.m_pszName) {
            key = entry.m_uKey;
            return true;
        }
    }
    int code = 0;
    if (!ParseNumber(name, code) || code <= 0 || code > 0xFE) {
        return false;
    }
    key = static_cast<UINT>(code);
    return true;
}

HWND FocusOrFail(HWND window) {
    HWND focus = FocusOf(window);
    if (focus == nullptr) {
        Fail(L"no control of the window has the focus");
    }
    return focus;
}

int TypeText(HWND window, const std::wstring& text, UINT message) {
    HWND focus = FocusOrFail(window);
    if (focus == nullptr) {
        return kFailed;
    }
    for (wchar_t character : text) {
        PostMessageW(focus, message, character, 1);
    }
    return Handled(window);
}

int SwitchLayout(HWND window, WORD languageId) {
    HWND focus = FocusOrFail(window);
    if (focus == nullptr) {
        return kFailed;
    }
    PostMessageW(focus, WM_INPUTLANGCHANGE, 0, MAKELONG(languageId, languageId));
    return Handled(window);
}

int SetFocusedText(HWND window, const std::wstring& text) {
    HWND focus = FocusOrFail(window);
    DWORD_PTR result = 0;
    if (focus == nullptr) {
        return kFailed;
    }
    if (!SendWithTimeout(focus, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), result)) {
        return Fail(L"the window does not answer", kTimedOut);
    }
    return Handled(window);
}

// Keys go where the keyboard would send them: the focused control, or the window itself when none of
// its controls has the focus.
int PressKey(HWND window, UINT key, bool alt) {
    HWND target = FocusOf(window);
    if (target == nullptr) {
        target = window;
    }
    PostMessageW(target, alt ? WM_SYSKEYDOWN : WM_KEYDOWN, key, KeyParameter(key, false, alt));
    PostMessageW(target, alt ? WM_SYSKEYUP : WM_KEYUP, key, KeyParameter(key, true, alt));
    return Handled(window);
}

struct CWindowDeleter {
    void operator()(HWND window) const { DestroyWindow(window); }
};
using CScopedWindow = std::unique_ptr<std::remove_pointer<HWND>::type, CWindowDeleter>;

// The clipboard keeps what an owner window put there; this program's own hidden window is the owner.
bool PutOnClipboard(HWND owner, const std::wstring& text) {
    bool opened = false;
    while (!(opened = OpenClipboard(owner) != 0) && TimeLeft()) {
        Sleep(kPollMs);  // another program holds it
    }
    if (!opened) {
        return false;
    }
    bool stored = false;
    const SIZE_T size = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (block != nullptr) {
        void* data = GlobalLock(block);
        memcpy(data, text.c_str(), size);
        GlobalUnlock(block);
        EmptyClipboard();
        stored = SetClipboardData(CF_UNICODETEXT, block) != nullptr;
        if (!stored) {
            GlobalFree(block);  // the clipboard owns it only once stored
        }
    }
    CloseClipboard();
    return stored;
}

int PasteText(HWND window, const std::wstring& text) {
    HWND focus = FocusOrFail(window);
    if (focus == nullptr) {
        return kFailed;
    }
    CScopedWindow owner(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                        GetModuleHandleW(nullptr), nullptr));
    if (!owner || !PutOnClipboard(owner.get(), text)) {
        return Fail(L"cannot put the text on the clipboard");
    }
    PostMessageW(focus, EM_SETSEL, 0, -1);
    PostMessageW(focus, WM_PASTE, 0, 0);
    return Handled(window);  // the owner stays until the field has taken the text
}

int Click(HWND window, int id) {
    HWND button = GetDlgItem(window, id);
    if (button == nullptr) {
        return Fail(L"no such control");
    }
    PostMessageW(button, BM_CLICK, 0, 0);
    return Handled(window);
}

int Close(HWND window) {
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    return Handled(window);
}

// --- reading ------------------------------------------------------------------------------------

int Info(HWND window) {
    RECT rect = {};
    GetWindowRect(window, &rect);
    RECT workArea = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    const bool topmost = (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    HWND focus = FocusOf(window);
    wchar_t focusText[16] = L"none";
    if (focus != nullptr && focus != window) {
        swprintf(focusText, 16, L"%d", GetDlgCtrlID(focus));
    }
    Print(L"rect=" + RectText(rect));
    Print(L"workarea=" + RectText(workArea));
    Print(std::wstring(L"visible=") + (IsWindowVisible(window) ? L"1" : L"0"));
    Print(std::wstring(L"topmost=") + (topmost ? L"1" : L"0"));
    Print(std::wstring(L"foreground=") + (GetForegroundWindow() == window ? L"1" : L"0"));
    Print(std::wstring(L"focus=") + focusText);
    return kDone;
}

int Text(HWND window, int id) {
    HWND control = id == 0 ? window : GetDlgItem(window, id);
    if (control == nullptr) {
        return Fail(L"no such control");
    }
    DWORD_PTR length = 0;
    if (!SendWithTimeout(control, WM_GETTEXTLENGTH, 0, 0, length)) {
        return Fail(L"the window does not answer", kTimedOut);
    }
    std::vector<wchar_t> text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendWithTimeout(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), copied)) {
        return Fail(L"the window does not answer", kTimedOut);
    }
    Print(std::wstring(text.data(), copied));
    return kDone;
}

int Progress(HWND window, int id) {
    HWND bar = GetDlgItem(window, id);
    if (bar == nullptr) {
        return Fail(L"no such control");
    }
    DWORD_PTR position = 0;
    DWORD_PTR low = 0;
    DWORD_PTR high = 0;
    if (!SendWithTimeout(bar, PBM_GETPOS, 0, 0, position) ||
        !SendWithTimeout(bar, PBM_GETRANGE, TRUE, 0, low) ||
        !SendWithTimeout(bar, PBM_GETRANGE, FALSE, 0, high)) {
        return Fail(L"the window does not answer", kTimedOut);
    }
    wchar_t text[96] = {};
    swprintf(text, 96, L"pos=%d\nmin=%d\nmax=%d", static_cast<int>(position), static_cast<int>(low),
             static_cast<int>(high));
    Print(text);
    return kDone;
}

struct CDcDeleter {
    void operator()(HDC dc) const { DeleteDC(dc); }
};
struct CScreenDcDeleter {
    void operator()(HDC dc) const { ReleaseDC(nullptr, dc); }
};
struct CObjectDeleter {
    void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
struct CFileDeleter {
    void operator()(FILE* file) const { fclose(file); }
};

int Screenshot(const std::wstring& path, const RECT& area) {
    const LONG width = area.right - area.left;
    const LONG height = area.bottom - area.top;
    if (width <= 0 || height <= 0) {
        return Fail(L"empty area");
    }
    Sleep(kScreenSettleMs);
    std::unique_ptr<HDC__, CScreenDcDeleter> screen(GetDC(nullptr));
    std::unique_ptr<HDC__, CDcDeleter> memory(CreateCompatibleDC(screen.get()));
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof(header);
    header.biWidth = width;
    header.biHeight = height;  // bottom-up, as most readers expect
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    const DWORD rowSize = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    header.biSizeImage = rowSize * static_cast<DWORD>(height);
    void* bits = nullptr;
    std::unique_ptr<void, CObjectDeleter> bitmap(CreateDIBSection(
        screen.get(), reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!memory || !bitmap || bits == nullptr) {
        return Fail(L"cannot make a bitmap");
    }
    HGDIOBJ previous = SelectObject(memory.get(), bitmap.get());
    const bool copied = BitBlt(memory.get(), 0, 0, width, height, screen.get(), area.left, area.top,
                               SRCCOPY | CAPTUREBLT) != 0;
    SelectObject(memory.get(), previous);
    GdiFlush();
    if (!copied) {
        return Fail(L"cannot read the screen");
    }

    BITMAPFILEHEADER fileHeader = {};
    fileHeader.bfType = 0x4D42;  // "BM"
    fileHeader.bfOffBits = sizeof(fileHeader) + sizeof(header);
    fileHeader.bfSize = fileHeader.bfOffBits + header.biSizeImage;
    std::unique_ptr<FILE, CFileDeleter> file(_wfopen(path.c_str(), L"wb"));
    if (!file || fwrite(&fileHeader, sizeof(fileHeader), 1, file.get()) != 1 ||
        fwrite(&header, sizeof(header), 1, file.get()) != 1 ||
        fwrite(bits, header.biSizeImage, 1, file.get()) != 1) {
        return Fail(L"cannot write " + path);
    }
    return kDone;
}

BOOL CALLBACK PrintWindowLine(HWND window, LPARAM) {
    if (IsWindowVisible(window)) {
        wchar_t caption[512] = {};
        wchar_t className[256] = {};
        GetWindowTextW(window, caption, 512);
        GetClassNameW(window, className, 256);
        wchar_t line[800] = {};
        swprintf(line, 800, L"0x%08lX %ls \"%ls\"",
                 static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(window)), className, caption);
        Print(line);
    }
    return TRUE;
}

// --- command line -------------------------------------------------------------------------------

int Usage() {
    return Fail(
        L"usage: vxuidriver [--timeout SECONDS] [--having ID] COMMAND ARGS...\n"
        L"  wait CAPTION | wait-gone CAPTION | info CAPTION | text CAPTION ID | type CAPTION TEXT |\n"
        L"  ime CAPTION TEXT | settext CAPTION TEXT | layout CAPTION LANGID |\n"
        L"  key CAPTION KEY | alt-f4 CAPTION | click CAPTION ID | close CAPTION | paste CAPTION TEXT |\n"
        L"  progress CAPTION ID | list | screenshot FILE [CAPTION]");
}

int WaitGone(const std::wstring& caption) {
    while (FindVisibleWindow(caption) != nullptr) {
        if (!TimeLeft()) {
            return Fail(L"the window is still there", kTimedOut);
        }
        Sleep(kPollMs);
    }
    return kDone;
}

int Run(const std::vector<std::wstring>& args) {
    if (args.empty()) {
        return Usage();
    }
    const std::wstring& command = args[0];
    if (command == L"list") {
        return args.size() == 1 && EnumWindows(PrintWindowLine, 0) ? kDone : Usage();
    }
    if (command == L"screenshot") {
        if (args.size() == 2) {
            const RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
            return Screenshot(args[1], screen);
        }
        if (args.size() != 3) {
            return Usage();
        }
        HWND window = WaitForWindow(args[2]);
        if (window == nullptr) {
            return Fail(L"no window \"" + args[2] + L"\"", kTimedOut);
        }
        RedrawWindow(window, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
        RECT area = {};
        GetWindowRect(window, &area);
        return Screenshot(args[1], area);
    }
    if (args.size() < 2) {
        return Usage();
    }
    const std::wstring& caption = args[1];
    if (command == L"wait-gone") {
        return args.size() == 2 ? WaitGone(caption) : Usage();
    }

    const bool takesArgument = command == L"text" || command == L"type" || command == L"ime" ||
                               command == L"settext" || command == L"layout" || command == L"key" ||
                               command == L"click" || command == L"paste" || command == L"progress";
    if (args.size() != (takesArgument ? 3u : 2u)) {
        return Usage();
    }
    int id = 0;
    const bool takesId = command == L"text" || command == L"click" || command == L"progress";
    if (takesId && !ParseNumber(args[2], id)) {
        return Usage();
    }
    UINT key = 0;
    if (command == L"key" && !KeyCode(args[2], key)) {
        return Usage();
    }
    wchar_t* end = nullptr;
    const unsigned long languageId = command == L"layout" ? wcstoul(args[2].c_str(), &end, 16) : 0;
    if (command == L"layout" && (*end != L'\0' || languageId == 0 || languageId > 0xFFFF)) {
        return Usage();
    }

    HWND window = WaitForWindow(caption);
    if (window == nullptr) {
        return Fail(L"no window \"" + caption + L"\"", kTimedOut);
    }
    if (command == L"wait") {
        // Its initialisation is over once it handles posted messages.
        if (!WaitUntilHandled(window)) {
            return Fail(L"the window does not answer", kTimedOut);
        }
        wchar_t handle[16] = {};
        swprintf(handle, 16, L"0x%08lX", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(window)));
        Print(handle);
        return kDone;
    }
    if (command == L"info") {
        return Info(window);
    }
    if (command == L"text") {
        return Text(window, id);
    }
    if (command == L"type") {
        return TypeText(window, args[2], WM_CHAR);
    }
    if (command == L"ime") {
        return TypeText(window, args[2], WM_IME_CHAR);
    }
    if (command == L"settext") {
        return SetFocusedText(window, args[2]);
    }
    if (command == L"layout") {
        return SwitchLayout(window, static_cast<WORD>(languageId));
    }
    if (command == L"key") {
        return PressKey(window, key, false);
    }
    if (command == L"alt-f4") {
        return PressKey(window, VK_F4, true);
    }
    if (command == L"click") {
        return Click(window, id);
    }
    if (command == L"close") {
        return Close(window);
    }
    if (command == L"paste") {
        return PasteText(window, args[2]);
    }
    if (command == L"progress") {
        return Progress(window, id);
    }
    return Usage();
}

// Options, then the command; the options hold for this command only.
int RunWithOptions(std::vector<std::wstring> args) {
    g_options = COptions();
    while (args.size() >= 2 && (args[0] == L"--timeout" || args[0] == L"--having")) {
        int value = 0;
        if (!ParseNumber(args[1], value) || (args[0] == L"--timeout" && value <= 0)) {
            return Usage();
        }
        if (args[0] == L"--timeout") {
            g_options.m_dwTimeoutMs = static_cast<DWORD>(value) * 1000;
        } else {
            g_options.m_nHavingId = value;
            g_options.m_bHaving = true;
        }
        args.erase(args.begin(), args.begin() + 2);
    }
    g_deadline = GetTickCount() + g_options.m_dwTimeoutMs;
    return Run(args);
}

std::wstring Wide(const std::string& bytes) {
    if (bytes.empty()) {
        return std::wstring();
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &out[0], size);
    return out;
}

std::vector<std::wstring> SplitAtTabs(const std::string& line) {
    std::vector<std::wstring> words;
    size_t start = 0;
    for (size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', start)) {
        words.push_back(Wide(line.substr(start, tab - start)));
        start = tab + 1;
    }
    words.push_back(Wide(line.substr(start)));
    return words;
}

// Until standard input ends.
int Serve() {
    std::string pending;
    char buffer[4096] = {};
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        pending.append(buffer, read);
        for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            const int code = RunWithOptions(SplitAtTabs(line));
            Print(L"vxuidriver-end " + std::to_wstring(code));
        }
    }
    return kDone;
}

}  // namespace

int main() {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) {
        return kFailed;
    }
    std::vector<std::wstring> args(argv + 1, argv + count);
    LocalFree(argv);
    if (args.size() == 1 && args[0] == L"--serve") {
        return Serve();
    }
    return RunWithOptions(args);
}
