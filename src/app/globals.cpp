#include "app/globals.h"

HINSTANCE g_instance = nullptr;
DWORD g_osPlatformId = 0;
DWORD g_osMajorVersion = 0;
DWORD g_osMinorVersion = 0;
int g_accessCode = 0;
