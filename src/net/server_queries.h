// The three short questions the starter asks its servers: which update server to use, whether an
// access code is valid, and whether the installed package is current; and, for a build that checks
// packages, a package's signature file. Answers are raw bytes, compared without trimming.
#pragma once

#include <windows.h>

#include "net/http_connection.h"

// Sends one GET; true when it was answered with status 200 (over TLS when secure).
bool RequestAnswer(CUpdaterClient& client, const char* path, bool secure);
// One GET whose whole answer fits in body (at most bodyCapacity - 1 bytes, always terminated).
bool FetchShortAnswer(CUpdaterClient& client, const char* path, bool secure, char* body, DWORD bodyCapacity);
// 1: the primary update server, 2: the backup update server.
int ProbeServerSelection();
bool CheckAccessCode(CUpdaterClient& client, int code);
// True when the server's version equals installedVersion; serverVersionOut holds the server's answer
// when it was read and fits, and stays empty otherwise.
bool IsVersionCurrent(CUpdaterClient& client, const char* installedVersion, char (&serverVersionOut)[10]);
// The signature file of archiveName, read whole into body; false when the request fails or the file
// is longer than capacity.
bool FetchSignatureFile(CUpdaterClient& client, const char* archiveName, BYTE* body, DWORD capacity,
                        DWORD& length);
