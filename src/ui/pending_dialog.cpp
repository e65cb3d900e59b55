// Stands in for AccessCodeDialogProc until that module arrives, with the result that lets the
// update sequence go on. Goes away with the module.
#include <windows.h>

#include "ui/access_code_dialog.h"

INT_PTR CALLBACK AccessCodeDialogProc(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG) {
        EndDialog(dialog, IDCANCEL);  // counts as cancelled
    }
    return FALSE;
}
