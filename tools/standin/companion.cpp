// Stand-in for a companion program of the product (vxpanel.exe, vxcourier.exe, vxlink.exe): like the
// real one it stays running until it is terminated (here: ten minutes at most), and does nothing else.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    Sleep(10 * 60 * 1000);
    return 0;
}
