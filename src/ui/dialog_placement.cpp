#include "ui/dialog_placement.h"

void PlaceDialogTopmost(HWND dialog) {
    RECT workArea = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    const LONG areaWidth = workArea.right - workArea.left;
    const LONG areaHeight = workArea.bottom - workArea.top;

    RECT window = {};
    GetWindowRect(dialog, &window);
    LONG width = window.right - window.left;
    LONG height = window.bottom - window.top;

    SetForegroundWindow(dialog);
    if (width >= areaWidth) {
        width = areaWidth;
    }
    if (height >= areaHeight) {
        height = areaHeight;
    }
    // Integer halves: an odd pixel of the difference falls to the right and to the bottom.
    SetWindowPos(dialog, HWND_TOPMOST, workArea.left + (areaWidth - width) / 2,
                 workArea.top + (areaHeight - height) / 2, width, height, SWP_SHOWWINDOW);
}
