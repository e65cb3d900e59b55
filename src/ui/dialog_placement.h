// The placement both dialogs run when they initialise: centred on the primary monitor's work area,
// shrunk to it when larger, topmost, in the foreground, shown.
#pragma once

#include <windows.h>

void PlaceDialogTopmost(HWND dialog);
