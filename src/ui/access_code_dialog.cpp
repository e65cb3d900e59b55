#include "ui/access_code_dialog.h"

#include <cstdlib>

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
    g_codeFieldPrevProc =
        reinterpret_cast<WNDPROC>(SetWindowLongA(field, GWL_WNDPROC, reinterpret_cast<LONG>(CodeFieldProc)));
    SetFocus(field);

    // The icon lives as long as the process; it is never released.
    HANDLE icon = LoadImageA(g_instance, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 0, 0, LR_DEFAULTCOLOR);
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

// The field holds digits when typed, but pasted text may hold anything: the code is the leading
// signed decimal number, 0 when there is none.
int CodeFromText(const char* text) {
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

void Connect(HWND dialog) {
    char codeText[kCodeTextSize] = {};
    GetDlgItemTextA(dialog, IDC_CODE, codeText, kCodeTextSize);
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
    return CallWindowProcA(g_codeFieldPrevProc, field, message, wParam, lParam);
}
