#include "net/server_queries.h"

#include <cstdio>
#include <cstring>

#include "app/working_folder.h"
#include "net/server_hosts.h"

namespace {

const DWORD kAnswerCapacity = 256;
const size_t kMaxVersionLength = 9;

}  // namespace

bool RequestAnswer(CUpdaterClient& client, const char* path, bool secure) {
    if (!client.m_http.OpenRequest(path, secure, nullptr, nullptr) ||
        !client.m_http.SendRequest(nullptr, 0, nullptr, 0)) {
        return false;
    }
    char status[256] = {};
    DWORD statusLength = sizeof(status);
    if (!client.m_http.QueryInfo(HTTP_QUERY_STATUS_CODE, status, &statusLength, nullptr)) {
        return false;
    }
    status[sizeof(status) - 1] = '\0';
    return strncmp(status, "200", 3) == 0;
}

bool FetchShortAnswer(CUpdaterClient& client, const char* path, bool secure, char* body, DWORD bodyCapacity) {
    memset(body, 0, bodyCapacity);
    if (!RequestAnswer(client, path, secure)) {
        return false;
    }
    // One read is the whole of these short answers; the last byte stays the terminator.
    DWORD read = 0;
    return client.m_http.Read(body, bodyCapacity - 1, &read);
}

int ProbeServerSelection() {
    CUpdaterClient probe;
    probe.Init();
    int choice = kPrimaryServer;
    char body[kAnswerCapacity];
    if (probe.OpenSession(kProbeHost, kProbePort) &&
        FetchShortAnswer(probe, "/server.html", false, body, sizeof(body)) && strcmp(body, "2") == 0) {
        choice = kBackupServer;
    }
    probe.Close();
    return choice;
}

bool CheckAccessCode(CUpdaterClient& client, int code) {
    char path[256] = {};
    snprintf(path, sizeof(path), "/admin/system/check_code.php?code=%d", code);
    char body[kAnswerCapacity];
    if (!FetchShortAnswer(client, path, true, body, sizeof(body))) {
        return false;
    }
    return strcmp(body, "FALSE") != 0;  // only "FALSE" refuses; any other answer, even empty, accepts
}

bool IsVersionCurrent(CUpdaterClient& client, const char* installedVersion, char (&serverVersionOut)[10]) {
    memset(serverVersionOut, 0, sizeof(serverVersionOut));
    char body[kAnswerCapacity];
    if (!FetchShortAnswer(client, "/download/app/customer/version.php", true, body, sizeof(body))) {
        return false;
    }
    // A version that does not fit whole is a failed query, not a shortened version.
    if (strlen(body) > kMaxVersionLength) {
        return false;
    }
    memcpy(serverVersionOut, body, sizeof(serverVersionOut));
    return strcmp(installedVersion, serverVersionOut) == 0;
}

bool FetchSignatureFile(CUpdaterClient& client, const char* archiveName, BYTE* body, DWORD capacity,
                        DWORD& length) {
    char path[256] = {};
    snprintf(path, sizeof(path), "/download/app/customer/%s.sig", archiveName);
    length = 0;
    if (!RequestAnswer(client, path, true)) {
        return false;
    }
    // Read until the body ends; a file longer than capacity fails as soon as its excess arrives.
    for (;;) {
        BYTE block[512] = {};
        DWORD read = 0;
        if (!client.m_http.Read(block, sizeof(block), &read)) {
            return false;
        }
        if (read == 0) {
            return true;
        }
        if (read > capacity - length) {
            return false;
        }
        memcpy(body + length, block, read);
        length += read;
    }
}
