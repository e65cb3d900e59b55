#include "system/exact_path.h"

namespace {

bool ConvertExactly(const wchar_t* text, UINT codePage, char (&converted)[MAX_PATH]) {
    ZeroMemory(converted, sizeof(converted));
    BOOL usedDefault = FALSE;
    const int length = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text, -1, converted, MAX_PATH,
                                           nullptr, &usedDefault);
    return length > 0 && !usedDefault;
}

}  // namespace

bool ToCodePagePath(const wchar_t* path, UINT codePage, char (&converted)[MAX_PATH]) {
    if (ConvertExactly(path, codePage, converted)) {
        return true;
    }
    wchar_t shortPath[MAX_PATH] = {};
    const DWORD length = GetShortPathNameW(path, shortPath, MAX_PATH);
    return length != 0 && length < MAX_PATH && ConvertExactly(shortPath, codePage, converted);
}
