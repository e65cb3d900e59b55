// The download's progress window, run modally on a thread of its own.
#pragma once

#include <windows.h>

DWORD WINAPI ProgressThreadProc(LPVOID parameter);
INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
