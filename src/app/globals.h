// Process-wide values of the starter, set by the update sequence (the access code by the dialog).
#pragma once

#include <windows.h>

extern HINSTANCE g_instance;
extern DWORD g_osPlatformId;
extern DWORD g_osMajorVersion;
extern DWORD g_osMinorVersion;
extern int g_accessCode;
