#include "fake_token_groups.h"

#include <cstddef>

namespace {

std::vector<SFakeGroup> g_fakeGroups;

}  // namespace

void SetFakeTokenGroups(const std::vector<SFakeGroup>& groups) {
    g_fakeGroups = groups;
}

BOOL WINAPI FakeGetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS type, LPVOID buffer, DWORD length,
                                    PDWORD returned) {
    if (type != TokenGroups) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD count = static_cast<DWORD>(g_fakeGroups.size());
    const DWORD entriesSize = offsetof(TOKEN_GROUPS, Groups) + count * sizeof(SID_AND_ATTRIBUTES);
    *returned = entriesSize + count * SECURITY_MAX_SID_SIZE;
    if (buffer == nullptr || length < *returned) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    TOKEN_GROUPS* list = static_cast<TOKEN_GROUPS*>(buffer);
    SID_AND_ATTRIBUTES* entries = list->Groups;
    BYTE* sid = static_cast<BYTE*>(buffer) + entriesSize;
    list->GroupCount = count;
    for (DWORD i = 0; i < count; ++i, sid += SECURITY_MAX_SID_SIZE) {
        DWORD sidSize = SECURITY_MAX_SID_SIZE;
        CreateWellKnownSid(g_fakeGroups[i].type, nullptr, sid, &sidSize);
        entries[i].Sid = sid;
        entries[i].Attributes = g_fakeGroups[i].attributes;
    }
    return TRUE;
}
