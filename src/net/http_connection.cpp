#include "net/http_connection.h"

#include <cstdlib>
#include <cstring>

DWORD g_httpTimeoutMs = kHttpTimeoutMs;

CUpdaterClient g_updater;

namespace {

const DWORD kReloadNoCacheWrite = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;  // 0x84000000
const char kAcceptHeader[] = "Accept: */*\r\n";

void CloseInternetHandle(HINTERNET& handle) {
    if (handle != nullptr) {
        InternetCloseHandle(handle);
    }
    handle = nullptr;
}

// The time-outs go on the session and again on the connection: Wine hands a connection's requests
// only the connection's own send and receive limits, and under Wine a receive never times out.
void ApplyTimeouts(HINTERNET handle) {
    DWORD timeout = g_httpTimeoutMs;
    InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
    InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof(timeout));
    InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
}

// WinINet follows redirects by itself, and Wine's follows one from HTTPS to plain HTTP without a
// word (Windows refuses it). The request's URL is the one its answer came from. (Wine drops
// SECURITY_FLAG_SECURE once the connection has ended, as after an empty body, so that flag cannot
// tell.)
bool AnsweredOverTls(HINTERNET request) {
    char url[INTERNET_MAX_URL_LENGTH + 1] = {};
    DWORD size = sizeof(url);
    return InternetQueryOptionA(request, INTERNET_OPTION_URL, url, &size) != FALSE &&
           _strnicmp(url, "https://", 8) == 0;
}

void CloseUpdaterAtExit() {
    g_updater.Close();
}

// Runs before WinMain: the process-wide client starts closed and is closed again at exit.
struct CUpdaterStartup {
    CUpdaterStartup() {
        g_updater.Init();
        std::atexit(CloseUpdaterAtExit);
    }
} g_updaterStartup;

}  // namespace

bool CHttpConnection::Open(const char* agent, DWORD accessType, const char* proxy, const char* proxyBypass,
                           DWORD flags) {
    CloseInternetHandle(m_hSession);
    m_hSession = InternetOpenA(agent, accessType, proxy, proxyBypass, flags);
    return m_hSession != nullptr;
}

bool CHttpConnection::Connect(const char* host, INTERNET_PORT port, const char* userName,
                              const char* password, DWORD service, DWORD flags, DWORD_PTR context) {
    CloseInternetHandle(m_hConnection);
    m_hConnection = InternetConnectA(m_hSession, host, port, userName, password, service, flags, context);
    return m_hConnection != nullptr;
}

bool CHttpConnection::OpenRequest(const char* path, bool secure, const char* referrer,
                                  const char** acceptTypes) {
    CloseInternetHandle(m_hRequest);
    m_bSecureRequest = secure;
    const DWORD flags = secure ? (kReloadNoCacheWrite | INTERNET_FLAG_SECURE) : kReloadNoCacheWrite;
    m_hRequest = HttpOpenRequestA(m_hConnection, "GET", path, "HTTP/1.0", referrer, acceptTypes, flags, 0);
    HttpAddRequestHeadersA(m_hRequest, kAcceptHeader, sizeof(kAcceptHeader) - 1, HTTP_ADDREQ_FLAG_REPLACE);
    return m_hRequest != nullptr;
}

bool CHttpConnection::SendRequest(const char* headers, DWORD headersLength, void* optional,
                                  DWORD optionalLength) {
    return HttpSendRequestA(m_hRequest, headers, headersLength, optional, optionalLength) != FALSE &&
           (!m_bSecureRequest || AnsweredOverTls(m_hRequest));
}

bool CHttpConnection::QueryInfo(DWORD infoLevel, void* buffer, DWORD* lengthInOut, DWORD* index) {
    return HttpQueryInfoA(m_hRequest, infoLevel, buffer, lengthInOut, index) != FALSE;
}

bool CHttpConnection::Read(void* buffer, DWORD size, DWORD* bytesRead) {
    return InternetReadFile(m_hRequest, buffer, size, bytesRead) != FALSE;
}

void CHttpConnection::CloseAll() {
    CloseInternetHandle(m_hSession);
    CloseInternetHandle(m_hConnection);
    CloseInternetHandle(m_hRequest);
}

void CUpdaterClient::Init() {
    m_http.m_hRequest = nullptr;
    m_http.m_hConnection = nullptr;
    m_http.m_hSession = nullptr;
    m_http.m_bSecureRequest = false;
    m_hProgressWindow = nullptr;
    m_hProgressBar = nullptr;
}

bool CUpdaterClient::OpenSession(const char* host, INTERNET_PORT port) {
    m_http.CloseAll();
    if (!m_http.Open("Vantorix", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)) {
        return false;
    }
    ApplyTimeouts(m_http.m_hSession);
    if (!m_http.Connect(host, port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0)) {
        return false;
    }
    ApplyTimeouts(m_http.m_hConnection);
    return true;
}

void CUpdaterClient::Close() {
    m_http.CloseAll();
}
