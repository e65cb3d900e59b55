#include "ui/access_code_dialog.h"

#include <cstdlib>
#include <cwchar>

#include "app/globals.h"
#include "net/http_connection.h"
#include "net/server_queries.h"
#include "resource.h"
#include "ui/dialog_placement.h"

HWND g_accessCodeDialog = nullptr;
WNDPROC g_codeFieldPrevProc = nullptr;

namespace {

const WPARAM kCodeMaxLength = 6;
const int kCodeTextSize = 15;
const int kMessageSize = 48;

void InitialiseDialog(HWND dialog) {
    PlaceDialogTopmost(dialog);
    g_accessCodeDialog = dialog;

    HWND field = GetDlgItem(dialog, IDC_CODE);
    SendMessageA(field, EM_LIMITTEXT, kCodeMaxLength, 0);
    g_codeFieldPrevProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CodeFieldProc)));
    SetFocus(field);

    // The icon lives as long as the process; it is never released.
    HANDLE icon = LoadImageA(g_instance, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 0, 0, LR_DEFAULTCOLOR);
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

const wchar_t kFullWidthZero = 0xFF10;
const wchar_t kFullWidthNine = 0xFF19;
const SIZE_T kPasteCapacity = 64;

// A DBCS lead byte typed into the field, waiting for its trail byte.
BYTE g_pendingLeadByte = 0;

// A Japanese input method types full-width digits in its usual mode: they count as the ASCII ones.
wchar_t ToHalfWidthDigit(wchar_t character) {
    if (character >= kFullWidthZero && character <= kFullWidthNine) {
        return static_cast<wchar_t>(L'0' + (character - kFullWidthZero));
    }
    return character;
}

// The field holds digits when typed, but pasted or set text may hold anything: the code is the
// leading signed decimal number, 0 when there is none. Full-width digits are read as digits.
int CodeFromText(wchar_t* text) {
    for (wchar_t* c = text; *c != L'\0'; ++c) {
        *c = ToHalfWidthDigit(*c);
    }
    return static_cast<int>(std::wcstol(text, nullptr, 10));
}

bool IsDoubleByteCharacter(BYTE leadByte, BYTE trailByte) {
    const char bytes[2] = {static_cast<char>(leadByte), static_cast<char>(trailByte)};
    wchar_t character[2] = {};
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, 2, character, 2) == 1;
}

// One character of ANSI text (one byte, or a lead and a trail byte) as it arrives in WM_CHAR or
// WM_IME_CHAR; a full-width digit goes on to the field as its ASCII digit, so that the field's
// digits-only rule and its limit (counted in bytes) see one digit. Anything else goes on as it came.
LRESULT ForwardCharacter(HWND field, UINT message, BYTE leadByte, BYTE byte, LPARAM lParam) {
    const char bytes[2] = {static_cast<char>(leadByte != 0 ? leadByte : byte), static_cast<char>(byte)};
    wchar_t character[2] = {};
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, leadByte != 0 ? 2 : 1, character, 2) == 1 &&
        ToHalfWidthDigit(character[0]) != character[0]) {
        return CallWindowProcA(g_codeFieldPrevProc, field, WM_CHAR, ToHalfWidthDigit(character[0]), lParam);
    }
    // A single byte is a character of its own, also when an input method commits it.
    if (leadByte == 0) {
        return CallWindowProcA(g_codeFieldPrevProc, field, WM_CHAR, byte, lParam);
    }
    if (message == WM_IME_CHAR) {
        return CallWindowProcA(g_codeFieldPrevProc, field, message, MAKEWORD(byte, leadByte), lParam);
    }
    CallWindowProcA(g_codeFieldPrevProc, field, WM_CHAR, leadByte, lParam);
    return CallWindowProcA(g_codeFieldPrevProc, field, WM_CHAR, byte, lParam);
}

// Pasted text with full-width digits goes in with ASCII ones, through the field's own replacement
// of the selection, which keeps its limit. False when the clipboard holds no such text.
bool PasteWithHalfWidthDigits(HWND field) {
    wchar_t text[kPasteCapacity] = {};
    bool changed = false;
    if (!OpenClipboard(field)) {
        return false;
    }
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    const wchar_t* clipboardText = data != nullptr ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr;
    if (clipboardText != nullptr) {
        // Another program's block need not hold a terminator: its size bounds the text.
        const SIZE_T blockLength = GlobalSize(data) / sizeof(wchar_t);
        for (SIZE_T i = 0; i + 1 < kPasteCapacity && i < blockLength && clipboardText[i] != L'\0'; ++i) {
            text[i] = ToHalfWidthDigit(clipboardText[i]);
            changed = changed || text[i] != clipboardText[i];
        }
        GlobalUnlock(data);
    }
    CloseClipboard();
    if (!changed) {
        return false;
    }
    char ansiText[kPasteCapacity * 2] = {};
    WideCharToMultiByte(CP_ACP, 0, text, -1, ansiText, sizeof(ansiText) - 1, nullptr, nullptr);
    SendMessageA(field, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(ansiText));
    return true;
}

void Connect(HWND dialog) {
    wchar_t codeText[kCodeTextSize] = {};
    GetDlgItemTextW(dialog, IDC_CODE, codeText, kCodeTextSize);
    const int code = CodeFromText(codeText);

    if (CheckAccessCode(g_updater, code)) {
        g_accessCode = code;
        EndDialog(dialog, IDC_CONNECT);
        return;
    }
    // A rejected code and an unreachable server look alike; the typed text stays for another try.
    char message[kMessageSize] = {};
    LoadStringA(g_instance, IDS_INVALID_CODE, message, kMessageSize);
    SetDlgItemTextA(dialog, IDC_MESSAGE, message);
}

}  // namespace

INT_PTR CALLBACK AccessCodeDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        InitialiseDialog(dialog);
        return FALSE;  // the focus is set already
    }
    if (message != WM_COMMAND) {
        return FALSE;
    }
    // Only the identifier counts: a click on Connect and the command the code field posts alike.
    // IDOK (Enter while no push button has the focus) is left alone.
    switch (LOWORD(wParam)) {
        case IDC_CONNECT:
            Connect(dialog);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

LRESULT CALLBACK CodeFieldProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam) {
    // The dialog manager asks the focused control for its dialog code on every key-down it handles;
    // Enter there means Connect. Posted, so that the key itself is handled first.
    if (message == WM_GETDLGCODE && wParam == VK_RETURN) {
        PostMessageA(g_accessCodeDialog, WM_COMMAND, MAKEWPARAM(IDC_CONNECT, 0), 0);
    }
    // An ANSI window gets a double-byte character as two WM_CHAR messages, lead byte first, and
    // as one WM_IME_CHAR with the lead byte in the high byte.
    if (message == WM_CHAR) {
        const BYTE byte = static_cast<BYTE>(wParam);
        BYTE leadByte = g_pendingLeadByte;
        g_pendingLeadByte = 0;
        // A lead byte that this byte does not complete (one from a keyboard layout of another code
        // page) is dropped: passed on, the field's own conversion would pair it with what comes
        // next, and a digit would be lost.
        if (leadByte != 0 && !IsDoubleByteCharacter(leadByte, byte)) {
            leadByte = 0;
        }
        if (leadByte == 0 && IsDBCSLeadByte(byte)) {
            g_pendingLeadByte = byte;
            return 0;
        }
        return ForwardCharacter(field, message, leadByte, byte, lParam);
    }
    // Nothing that follows these is the trail byte of a lead byte typed before them.
    if (message == WM_IME_CHAR || message == WM_KILLFOCUS || message == WM_PASTE) {
        g_pendingLeadByte = 0;
    }
    if (message == WM_IME_CHAR) {
        return ForwardCharacter(field, message, HIBYTE(LOWORD(wParam)), LOBYTE(LOWORD(wParam)), lParam);
    }
    if (message == WM_PASTE && PasteWithHalfWidthDigits(field)) {
        return 0;
    }
    return CallWindowProcA(g_codeFieldPrevProc, field, message, wParam, lParam);
}
