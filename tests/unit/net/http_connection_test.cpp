// CHttpConnection and CUpdaterClient against the test bed's local servers.
#include <gtest/gtest.h>

#include <string>

#include "net/http_connection.h"
#include "testbed.h"

namespace {

class HttpConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_client.Init();
        testbed::ClearRequests();
        testbed::SetScenario(R"({"routes": {"* /hello": {"body": "hi"}, "* /silent": {"silent": 20}}})");
    }
    void TearDown() override {
        m_client.Close();
        g_httpTimeoutMs = kHttpTimeoutMs;
    }

    // Opens, sends and reads one GET of path; the answer body, or "<failed>".
    std::string Get(unsigned short port, const char* path, bool secure) {
        if (!m_client.OpenSession("localhost", port) ||
            !m_client.m_http.OpenRequest(path, secure, nullptr, nullptr) ||
            !m_client.m_http.SendRequest(nullptr, 0, nullptr, 0)) {
            return "<failed>";
        }
        char body[64] = {};
        DWORD read = 0;
        if (!m_client.m_http.Read(body, sizeof(body) - 1, &read)) {
            return "<failed>";
        }
        return std::string(body, read);
    }

    void ExpectOneRequestAsSent(int port, const char* path) {
        const auto requests = testbed::Requests();
        ASSERT_EQ(1u, requests.size());
        EXPECT_EQ(port, requests[0].port);
        EXPECT_EQ(path, requests[0].path);
        EXPECT_EQ("Vantorix", requests[0].userAgent);
        EXPECT_EQ("*/*", requests[0].accept);
        EXPECT_EQ("HTTP/1.0", requests[0].version);
    }

    CUpdaterClient m_client;
};

TEST_F(HttpConnectionTest, PlainRequestOnTheProbePort) {
    EXPECT_EQ("hi", Get(testbed::kProbePort, "/hello", false));
    ExpectOneRequestAsSent(testbed::kProbePort, "/hello");
}

TEST_F(HttpConnectionTest, SecureRequestsOnBothUpdatePorts) {
    EXPECT_EQ("hi", Get(testbed::kPrimaryPort, "/hello", true));
    ExpectOneRequestAsSent(testbed::kPrimaryPort, "/hello");

    testbed::ClearRequests();
    EXPECT_EQ("hi", Get(testbed::kBackupPort, "/hello", true));
    ExpectOneRequestAsSent(testbed::kBackupPort, "/hello");
}

// Wine's WinINet follows every redirect; a secure request counts only when the URL its answer came
// from, as the request handle reports it, is an HTTPS one.
TEST_F(HttpConnectionTest, SecureRequestCountsOnlyWhenAnsweredOverTls) {
    testbed::SetScenario(R"({"routes": {"* /hello": {"body": "hi"},
        "443 /plain-302": {"redirect_to": 80}, "443 /plain-301": {"redirect_to": 80, "status": 301},
        "443 /backup-302": {"redirect_to": 8080}, "443 /backup-301": {"redirect_to": 8080, "status": 301},
        "* /plain-302": {"body": "plain"}, "* /plain-301": {"body": "plain"},
        "* /backup-302": {"body": "tls"}, "* /backup-301": {"body": "tls"}}})");
    struct Case {
        const char* path;
        const char* answer;
        const char* url;
        int answeringPort;
    };
    const Case cases[] = {
        {"/hello", "hi", "https://localhost/hello", 443},
        {"/plain-302", "<failed>", "http://localhost/plain-302", 80},
        {"/plain-301", "<failed>", "http://localhost/plain-301", 80},
        {"/backup-302", "tls", "https://localhost:8080/backup-302", 8080},
        {"/backup-301", "tls", "https://localhost:8080/backup-301", 8080},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        testbed::ClearRequests();
        EXPECT_EQ(c.answer, Get(testbed::kPrimaryPort, c.path, true));
        char url[256] = {};
        DWORD size = sizeof(url);
        ASSERT_TRUE(InternetQueryOptionA(m_client.m_http.m_hRequest, INTERNET_OPTION_URL, url, &size));
        EXPECT_STREQ(c.url, url);
        // The redirect was followed: the answer was there, and only the check refused it.
        const auto requests = testbed::Requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(c.answeringPort, requests.back().port);
    }
}

TEST_F(HttpConnectionTest, UntrustedCertificateLetsNoRequestThrough) {
    EXPECT_EQ("<failed>", Get(testbed::kUntrustedPort, "/hello", true));
    EXPECT_TRUE(testbed::Requests().empty());
}

TEST_F(HttpConnectionTest, CertificateForAnotherHostLetsNoRequestThrough) {
    EXPECT_EQ("<failed>", Get(testbed::kWrongHostPort, "/hello", true));
    EXPECT_TRUE(testbed::Requests().empty());
}

TEST_F(HttpConnectionTest, SilentServerFailsWithinTheTimeout) {
    g_httpTimeoutMs = 1500;
    const DWORD start = GetTickCount();
    EXPECT_EQ("<failed>", Get(testbed::kPrimaryPort, "/silent", true));
    // The server holds the connection for 20 s; failing well before that is the time-out's doing.
    EXPECT_LT(GetTickCount() - start, 15000u);
    EXPECT_EQ(1u, testbed::Requests().size());
}

TEST_F(HttpConnectionTest, SilentPlainServerFailsWithinTheTimeout) {
    g_httpTimeoutMs = 1500;
    const DWORD start = GetTickCount();
    EXPECT_EQ("<failed>", Get(testbed::kProbePort, "/silent", false));
    EXPECT_LT(GetTickCount() - start, 15000u);
}

DWORD HandleType(HINTERNET handle) {
    DWORD type = 0;
    DWORD size = sizeof(type);
    return InternetQueryOptionA(handle, INTERNET_OPTION_HANDLE_TYPE, &type, &size) ? type : 0;
}

TEST_F(HttpConnectionTest, OpenSessionReplacesAllThreeHandles) {
    ASSERT_TRUE(m_client.OpenSession("localhost", testbed::kPrimaryPort));
    ASSERT_TRUE(m_client.m_http.OpenRequest("/hello", true, nullptr, nullptr));
    const HINTERNET oldRequest = m_client.m_http.m_hRequest;
    const HINTERNET oldConnection = m_client.m_http.m_hConnection;
    ASSERT_EQ(static_cast<DWORD>(INTERNET_HANDLE_TYPE_HTTP_REQUEST), HandleType(oldRequest));

    ASSERT_TRUE(m_client.OpenSession("localhost", testbed::kBackupPort));
    EXPECT_EQ(nullptr, m_client.m_http.m_hRequest);
    // A handle value may be given out again, but no request handle may survive the reconnection.
    EXPECT_NE(static_cast<DWORD>(INTERNET_HANDLE_TYPE_HTTP_REQUEST), HandleType(oldRequest));
    EXPECT_EQ(static_cast<DWORD>(INTERNET_HANDLE_TYPE_INTERNET), HandleType(m_client.m_http.m_hSession));
    EXPECT_EQ(static_cast<DWORD>(INTERNET_HANDLE_TYPE_CONNECT_HTTP),
              HandleType(m_client.m_http.m_hConnection));
    if (m_client.m_http.m_hConnection != oldConnection) {
        EXPECT_EQ(0u, HandleType(oldConnection));
    }
}

TEST_F(HttpConnectionTest, RequestWithoutConnectionFails) {
    EXPECT_FALSE(m_client.m_http.OpenRequest("/hello", false, nullptr, nullptr));
    EXPECT_EQ(nullptr, m_client.m_http.m_hRequest);
    EXPECT_FALSE(m_client.m_http.SendRequest(nullptr, 0, nullptr, 0));
}

TEST_F(HttpConnectionTest, CloseAllLeavesTheClientClosed) {
    ASSERT_TRUE(m_client.OpenSession("localhost", testbed::kProbePort));
    ASSERT_TRUE(m_client.m_http.OpenRequest("/hello", false, nullptr, nullptr));
    m_client.Close();
    EXPECT_EQ(nullptr, m_client.m_http.m_hSession);
    EXPECT_EQ(nullptr, m_client.m_http.m_hConnection);
    EXPECT_EQ(nullptr, m_client.m_http.m_hRequest);
    m_client.Close();  // closing again is harmless
}

TEST(UpdaterGlobal, StartsClosedBeforeAnyCode) {
    EXPECT_EQ(nullptr, g_updater.m_http.m_hSession);
    EXPECT_EQ(nullptr, g_updater.m_http.m_hConnection);
    EXPECT_EQ(nullptr, g_updater.m_http.m_hRequest);
    EXPECT_EQ(nullptr, g_updater.m_hProgressBar);
    EXPECT_EQ(nullptr, g_updater.m_hProgressWindow);
}

}  // namespace
