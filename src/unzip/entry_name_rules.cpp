#include "unzip/entry_name_rules.h"

namespace {

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

wchar_t ToUpperAscii(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// COM and LPT take a digit, or one of the superscript digits that Windows also reserves.
bool IsDeviceNumber(wchar_t c) {
    return (c >= L'0' && c <= L'9') || c == L'\u00B9' || c == L'\u00B2' || c == L'\u00B3';
}

bool BaseIs(const wchar_t* base, const wchar_t* device) {
    for (int i = 0; i < 3; ++i) {
        if (base[i] != device[i]) {
            return false;
        }
    }
    return true;
}

// The platform matches the part before the first dot (or colon), ignoring trailing blanks.
bool IsReservedDeviceBase(const wchar_t* component, size_t length) {
    size_t baseLength = 0;
    while (baseLength < length && component[baseLength] != L'.' && component[baseLength] != L':') {
        ++baseLength;
    }
    while (baseLength > 0 && component[baseLength - 1] == L' ') {
        --baseLength;
    }
    if (baseLength < 3 || baseLength > 4) {
        return false;
    }
    wchar_t base[4] = {};
    for (size_t i = 0; i < 3; ++i) {
        base[i] = ToUpperAscii(component[i]);
    }
    if (baseLength == 3) {
        return BaseIs(base, L"CON") || BaseIs(base, L"PRN") || BaseIs(base, L"AUX") || BaseIs(base, L"NUL");
    }
    return (BaseIs(base, L"COM") || BaseIs(base, L"LPT")) && IsDeviceNumber(component[3]);
}

// A component of dots and blanks only: ".." and look-alikes such as "... " that the platform's
// trimming of trailing dots and blanks may turn into one. A single dot (the folder itself) stays
// allowed, as archivers write names such as "./bin/app.dll".
bool IsParentReference(const wchar_t* component, size_t length) {
    size_t dots = 0;
    for (size_t i = 0; i < length; ++i) {
        if (component[i] == L'.') {
            ++dots;
        } else if (component[i] != L' ') {
            return false;
        }
    }
    return length > 0 && !(dots == 1 && length == 1);
}

}  // namespace

bool IsReservedDeviceName(const wchar_t* component) {
    return component != nullptr && IsReservedDeviceBase(component, wcslen(component));
}

bool IsSafeEntryName(const wchar_t* name) {
    if (name == nullptr) {
        return false;
    }
    if (IsSeparator(name[0]) || wcschr(name, L':') != nullptr) {
        return false;
    }
    const wchar_t* component = name;
    while (true) {
        size_t length = 0;
        while (component[length] != L'\0' && !IsSeparator(component[length])) {
            ++length;
        }
        if (IsParentReference(component, length) || IsReservedDeviceBase(component, length)) {
            return false;
        }
        if (component[length] == L'\0') {
            return true;
        }
        component += length + 1;
    }
}
