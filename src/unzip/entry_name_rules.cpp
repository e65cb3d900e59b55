#include "unzip/entry_name_rules.h"

#include <cstring>

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

char ToUpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The platform matches the part before the first dot (or colon), ignoring trailing blanks.
bool IsReservedDeviceBase(const char* component, size_t length) {
    size_t baseLength = 0;
    while (baseLength < length && component[baseLength] != '.' && component[baseLength] != ':') {
        ++baseLength;
    }
    while (baseLength > 0 && component[baseLength - 1] == ' ') {
        --baseLength;
    }
    if (baseLength < 3 || baseLength > 4) {
        return false;
    }
    char base[5] = {};
    for (size_t i = 0; i < baseLength; ++i) {
        base[i] = ToUpperAscii(component[i]);
    }
    if (baseLength == 3) {
        return strcmp(base, "CON") == 0 || strcmp(base, "PRN") == 0 || strcmp(base, "AUX") == 0 ||
               strcmp(base, "NUL") == 0;
    }
    const bool numberedDevice = strncmp(base, "COM", 3) == 0 || strncmp(base, "LPT", 3) == 0;
    return numberedDevice && base[3] >= '1' && base[3] <= '9';
}

// A component of dots and blanks only: ".." and look-alikes such as "... " that the platform's
// trimming of trailing dots and blanks may turn into one. A single dot (the folder itself) stays
// allowed, as archivers write names such as "./bin/app.dll".
bool IsParentReference(const char* component, size_t length) {
    size_t dots = 0;
    for (size_t i = 0; i < length; ++i) {
        if (component[i] == '.') {
            ++dots;
        } else if (component[i] != ' ') {
            return false;
        }
    }
    return length > 0 && !(dots == 1 && length == 1);
}

}  // namespace

bool IsReservedDeviceName(const char* component) {
    return component != nullptr && IsReservedDeviceBase(component, strlen(component));
}

bool IsSafeEntryName(const char* name) {
    if (name == nullptr) {
        return false;
    }
    if (IsSeparator(name[0]) || strchr(name, ':') != nullptr) {
        return false;
    }
    const char* component = name;
    while (true) {
        size_t length = 0;
        while (component[length] != '\0' && !IsSeparator(component[length])) {
            ++length;
        }
        if (IsParentReference(component, length) || IsReservedDeviceBase(component, length)) {
            return false;
        }
        if (component[length] == '\0') {
            return true;
        }
        component += length + 1;
    }
}
