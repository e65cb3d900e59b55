// The three short questions the starter asks its servers: which update server to use, whether an
// access code is valid, and whether the installed package is current. Answers are raw bytes,
// compared without trimming.
#pragma once

#include <windows.h>

#include "net/http_connection.h"

// One GET whose whole answer fits in body (at most bodyCapacity - 1 bytes, always terminated).
bool FetchShortAnswer(CUpdaterClient& client, const char* path, bool secure, char* body, DWORD bodyCapacity);
// 1: the primary update server, 2: the backup update server.
int ProbeServerSelection();
bool CheckAccessCode(CUpdaterClient& client, int code);
// True when the server's version equals installedVersion; serverVersionOut holds the server's answer
// when it was read and fits, and stays empty otherwise.
bool IsVersionCurrent(CUpdaterClient& client, const char* installedVersion, char (&serverVersionOut)[10]);
