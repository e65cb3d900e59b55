// The modal access-code dialog: ends with IDC_CONNECT once the server accepted a code (left in
// g_accessCode), or with IDCANCEL.
#pragma once

#include <windows.h>

extern HWND g_accessCodeDialog;
extern WNDPROC g_codeFieldPrevProc;

INT_PTR CALLBACK AccessCodeDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK CodeFieldProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam);
