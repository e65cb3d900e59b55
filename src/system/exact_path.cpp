#include "system/exact_path.h"

namespace {

bool ConvertExactly(const wchar_t* text, UINT codePage, char* converted, int capacity) {
    ZeroMemory(converted, capacity);
    BOOL usedDefault = FALSE;
    const int length = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text, -1, converted, capacity,
                                           nullptr, &usedDefault);
    return length > 0 && !usedDefault;
}

}  // namespace

bool ToCodePagePath(const wchar_t* path, UINT codePage, char* converted, int capacity) {
    if (ConvertExactly(path, codePage, converted, capacity)) {
        return true;
    }
    wchar_t shortPath[MAX_PATH] = {};
    const DWORD length = GetShortPathNameW(path, shortPath, MAX_PATH);
    ZeroMemory(converted, capacity);
    return length != 0 && length < MAX_PATH && ConvertExactly(shortPath, codePage, converted, capacity);
}
