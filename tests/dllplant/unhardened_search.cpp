// Test fixture: the starter without its DLL-search restriction. Linked ahead of vxcore, this
// definition takes the place of the real one; the fixture also links the ordinary import libraries,
// so that WinINet and the common controls are loaded before WinMain, through the standard search.
#include "app/dll_search.h"

bool RestrictDllSearch() {
    return false;
}
