// Stands in for GetTokenInformation(TokenGroups) with a group list of the test's choosing, laid out
// as the system lays it out (the count, the entries, then the SIDs they point to). Wine's user
// always holds the Administrators group; this gives the tokens it cannot.
#pragma once

#include <windows.h>

#include <vector>

struct SFakeGroup {
    WELL_KNOWN_SID_TYPE type;
    DWORD attributes;
};

void SetFakeTokenGroups(const std::vector<SFakeGroup>& groups);
// Answers a call without a large enough block with its size and ERROR_INSUFFICIENT_BUFFER.
BOOL WINAPI FakeGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID buffer, DWORD length,
                                    PDWORD returned);
