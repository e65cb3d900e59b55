#include "ui/progress_window.h"

#include <commctrl.h>

#include "app/globals.h"
#include "net/http_connection.h"
#include "resource.h"
#include "ui/dialog_placement.h"
#include "ui/progress_handover.h"

namespace {

const LPARAM kBarRange = MAKELPARAM(0, 100);

void InitialiseWindow(HWND window, CUpdaterClient& client) {
    if (g_progressInitHook != nullptr) {
        g_progressInitHook(window);
    }
    SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(&client));
    // A download that has already finished wants no window: end before it is ever shown.
    if (IsProgressCloseRequested()) {
        EndDialog(window, IDCANCEL);
        return;
    }
    PlaceDialogTopmost(window);

    HWND bar = GetDlgItem(window, IDC_PROGRESS_BAR);
    SendMessageA(bar, PBM_SETRANGE, 0, kBarRange);
    SendMessageA(bar, PBM_SETPOS, 0, 0);
    if (!PublishProgressWindow(client, window, bar)) {
        EndDialog(window, IDCANCEL);
        return;
    }

    // The icon lives as long as the process; it is never released.
    HANDLE icon = LoadImageA(g_instance, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 0, 0, LR_DEFAULTCOLOR);
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

}  // namespace

DWORD WINAPI ProgressThreadProc(LPVOID parameter) {
    // The bar's class comes from the common controls library, which registers it here on every
    // Windows, whether or not anything else in the process has loaded that library yet.
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, ProgressDialogProc,
                    reinterpret_cast<LPARAM>(parameter));
    return 0;
}

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        InitialiseWindow(window, *reinterpret_cast<CUpdaterClient*>(lParam));
        return TRUE;
    }
    if (message != WM_COMMAND) {
        return FALSE;
    }
    // WM_CLOSE (the download's, the close button's, Alt+F4) arrives as IDCANCEL; Enter as IDOK.
    const WORD command = LOWORD(wParam);
    if (command != IDOK && command != IDCANCEL) {
        return FALSE;
    }
    CUpdaterClient* client = reinterpret_cast<CUpdaterClient*>(GetWindowLongPtrA(window, DWLP_USER));
    if (WithdrawProgressWindow(*client, window)) {
        EndDialog(window, command);
    }
    return TRUE;
}
