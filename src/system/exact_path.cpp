#include "system/exact_path.h"

PFN_TO_MULTI_BYTE g_pfnToMultiByte = &WideCharToMultiByte;

bool ToCodePageText(const wchar_t* text, UINT codePage, char* converted, int capacity) {
    ZeroMemory(converted, capacity);
    const UINT resolved = codePage == CP_ACP ? GetACP() : codePage == CP_OEMCP ? GetOEMCP() : codePage;
    if (resolved == CP_UTF8) {
        // Windows' "Use Unicode UTF-8" setting: UTF-8 takes neither a default-character pointer nor
        // WC_NO_BEST_FIT_CHARS. It holds every character; only a lone surrogate is refused.
        return g_pfnToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, converted, capacity, nullptr,
                                nullptr) > 0;
    }
    BOOL usedDefault = FALSE;
    const int length = g_pfnToMultiByte(resolved, WC_NO_BEST_FIT_CHARS, text, -1, converted, capacity,
                                        nullptr, &usedDefault);
    return length > 0 && !usedDefault;
}

bool ToCodePagePath(const wchar_t* path, UINT codePage, char* converted, int capacity) {
    if (ToCodePageText(path, codePage, converted, capacity)) {
        return true;
    }
    wchar_t shortPath[MAX_PATH] = {};
    const DWORD length = GetShortPathNameW(path, shortPath, MAX_PATH);
    ZeroMemory(converted, capacity);
    return length != 0 && length < MAX_PATH && ToCodePageText(shortPath, codePage, converted, capacity);
}
