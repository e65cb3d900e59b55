// The one kind of connection the starter has to its servers: CHttpConnection owns the three chained
// WinINet handles (session, connection, request); CUpdaterClient adds the progress window's two
// handles, which the download uses. g_updater is the process-wide client, closed at process exit.
#pragma once

#include <windows.h>
#include <wininet.h>

// Connect, send and receive time-out of every request, in milliseconds. A constant of the release;
// tests shorten it to see a silent server fail quickly.
const DWORD kHttpTimeoutMs = 30000;
extern DWORD g_httpTimeoutMs;

class CHttpConnection {
public:
    bool Open(const char* agent, DWORD accessType, const char* proxy, const char* proxyBypass, DWORD flags);
    bool Connect(const char* host, INTERNET_PORT port, const char* userName, const char* password,
                 DWORD service, DWORD flags, DWORD_PTR context);
    bool OpenRequest(const char* path, bool secure, const char* referrer, const char** acceptTypes);
    // False also when a request opened as secure got its answer without TLS (a redirect to HTTP).
    bool SendRequest(const char* headers, DWORD headersLength, void* optional, DWORD optionalLength);
    bool QueryInfo(DWORD infoLevel, void* buffer, DWORD* lengthInOut, DWORD* index);
    bool Read(void* buffer, DWORD size, DWORD* bytesRead);
    void CloseAll();

    HINTERNET m_hSession;
    HINTERNET m_hConnection;
    HINTERNET m_hRequest;
    bool m_bSecureRequest;  // m_hRequest was opened as secure
};

class CUpdaterClient {
public:
    void Init();
    bool OpenSession(const char* host, INTERNET_PORT port);
    void Close();

    HWND m_hProgressBar;
    HWND m_hProgressWindow;
    CHttpConnection m_http;
};

extern CUpdaterClient g_updater;
