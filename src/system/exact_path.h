// A UTF-16 path handed to something that only takes code-page text (an ANSI call, a batch file):
// given only when every character converts exactly, as a best-fit look-alike ("Jose" for "José")
// or a '?' could name another file.
#pragma once

#include <windows.h>

// text in codePage (CP_ACP and CP_OEMCP stand for the process's own) into converted (capacity
// bytes, zero-filled first); false when a character has no exact form there or it does not fit.
bool ToCodePageText(const wchar_t* text, UINT codePage, char* converted, int capacity);
// path in codePage, or else its short (8.3) form in codePage, into converted (capacity bytes,
// zero-filled first); false when neither converts exactly or fits. A volume without short names
// has none.
bool ToCodePagePath(const wchar_t* path, UINT codePage, char* converted, int capacity);

// Seam for a test that holds WideCharToMultiByte to Windows' rules, where Wine's accepts more; the
// program leaves it as it is.
using PFN_TO_MULTI_BYTE = int(WINAPI*)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL);
extern PFN_TO_MULTI_BYTE g_pfnToMultiByte;
