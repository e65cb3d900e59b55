// The probe, the access-code check and the version query against the test bed's servers.
#include <gtest/gtest.h>

#include <string>

#include "net/server_queries.h"
#include "testbed.h"

namespace {

// {"routes": {"<port> <path>": {"status": status, "body": body}}} with the body's bytes escaped.
std::string Route(const std::string& key, const std::string& body, int status = 200) {
    std::string escaped;
    for (unsigned char c : body) {
        char unit[8];
        snprintf(unit, sizeof(unit), "\\u%04x", c);
        escaped += unit;
    }
    return "\"" + key + "\": {\"status\": " + std::to_string(status) + ", \"body\": \"" + escaped + "\"}";
}

void Serve(const std::string& routes, const std::string& extra = "") {
    testbed::SetScenario("{\"routes\": {" + routes + "}" + extra + "}");
}

const char kVersionPath[] = "443 /download/app/customer/version.php";

class ServerQueriesTest : public ::testing::Test {
protected:
    void SetUp() override {
        testbed::ClearRequests();
        m_client.Init();
        ASSERT_TRUE(m_client.OpenSession("localhost", testbed::kPrimaryPort));
    }
    void TearDown() override { m_client.Close(); }

    std::string LastPath() {
        const auto requests = testbed::Requests();
        return requests.empty() ? "<none>" : requests.back().path;
    }

    CUpdaterClient m_client;
};

TEST(ProbeServerSelection, OnlyAnExactTwoSelectsTheBackupServer) {
    testbed::ClearRequests();
    Serve(Route("80 /server.html", "2"));
    EXPECT_EQ(2, ProbeServerSelection());
    const auto requests = testbed::Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(80, requests[0].port);
    EXPECT_EQ("/server.html", requests[0].path);

    for (const char* answer : {"2\r\n", "1", "", " 2", "22"}) {
        SCOPED_TRACE(answer);
        Serve(Route("80 /server.html", answer));
        EXPECT_EQ(1, ProbeServerSelection());
    }
}

TEST(ProbeServerSelection, AnyFailureSelectsThePrimaryServer) {
    Serve(Route("80 /server.html", "2", 201));
    EXPECT_EQ(1, ProbeServerSelection());
    Serve("");  // 404
    EXPECT_EQ(1, ProbeServerSelection());
    Serve(Route("80 /server.html", "2"), ", \"down\": [80]");
    EXPECT_EQ(1, ProbeServerSelection());
}

TEST(ProbeServerSelection, AnswerOfAFullBufferIsReadSafely) {
    Serve(Route("80 /server.html", std::string(256, '2')));
    EXPECT_EQ(1, ProbeServerSelection());
}

TEST_F(ServerQueriesTest, OnlyFalseRefusesACode) {
    Serve(Route("443 /admin/system/check_code.php", "FALSE"));
    EXPECT_FALSE(CheckAccessCode(m_client, 123));
    for (const std::string& answer : std::initializer_list<std::string>{
             "false", "", "FALSE\r\n", "TRUE", "FALSEx", "FALSE" + std::string(251, ' ')}) {
        SCOPED_TRACE(answer);
        Serve(Route("443 /admin/system/check_code.php", answer));
        EXPECT_TRUE(CheckAccessCode(m_client, 123));
    }
}

TEST_F(ServerQueriesTest, CodeIsSentInDecimal) {
    Serve(Route("443 /admin/system/check_code.php", "OK"));
    for (int code : {0, 123, -5, 999999}) {
        ASSERT_TRUE(CheckAccessCode(m_client, code));
        EXPECT_EQ("/admin/system/check_code.php?code=" + std::to_string(code), LastPath());
    }
}

TEST_F(ServerQueriesTest, OnlyStatus200Passes) {
    for (int status : {201, 304, 404, 500}) {
        SCOPED_TRACE(status);
        Serve(Route("443 /admin/system/check_code.php", "OK", status));
        EXPECT_FALSE(CheckAccessCode(m_client, 1));
        Serve(Route(kVersionPath, "1.0", status));
        char version[10];
        EXPECT_FALSE(IsVersionCurrent(m_client, "1.0", version));
        EXPECT_STREQ("", version);
    }
}

TEST_F(ServerQueriesTest, NineCharacterVersionIsKeptWholeAndCompared) {
    Serve(Route(kVersionPath, "123456789"));
    char version[10];
    EXPECT_TRUE(IsVersionCurrent(m_client, "123456789", version));
    EXPECT_STREQ("123456789", version);
    EXPECT_FALSE(IsVersionCurrent(m_client, "12345678", version));
    EXPECT_STREQ("123456789", version);
}

TEST_F(ServerQueriesTest, LongerVersionIsAFailedQuery) {
    Serve(Route(kVersionPath, "1234567890"));
    char version[10];
    EXPECT_FALSE(IsVersionCurrent(m_client, "123456789", version));
    EXPECT_STREQ("", version);

    Serve(Route(kVersionPath, std::string(256, '7')));
    EXPECT_FALSE(IsVersionCurrent(m_client, "", version));
    EXPECT_STREQ("", version);
}

TEST_F(ServerQueriesTest, VersionIsComparedRawWithoutTrimming) {
    Serve(Route(kVersionPath, "1.0\r\n"));
    char version[10];
    EXPECT_FALSE(IsVersionCurrent(m_client, "1.0", version));
    EXPECT_STREQ("1.0\r\n", version);

    Serve(Route(kVersionPath, ""));
    EXPECT_TRUE(IsVersionCurrent(m_client, "", version));
    EXPECT_STREQ("", version);
}

TEST_F(ServerQueriesTest, AnswerFillingTheBufferStaysTerminated) {
    char body[16];
    memset(body, 'x', sizeof(body));
    Serve(Route("443 /long", std::string(40, 'a')));
    ASSERT_TRUE(FetchShortAnswer(m_client, "/long", true, body, sizeof(body)));
    EXPECT_EQ(std::string(15, 'a'), body);
}

// A redirect to plain HTTP fails the query, though the HTTP answer would pass; one to HTTPS on the
// other update port is followed.
TEST_F(ServerQueriesTest, OnlyAnswersOverTlsCount) {
    const std::string check = "/admin/system/check_code.php";
    const std::string version = "/download/app/customer/version.php";
    struct Case {
        int port;
        const char* status;
        bool answered;
    };
    for (const Case& c :
         {Case{80, "302", false}, Case{80, "301", false}, Case{8080, "302", true}, Case{8080, "301", true}}) {
        SCOPED_TRACE(std::to_string(c.port) + " " + c.status);
        const std::string redirect =
            "{\"redirect_to\": " + std::to_string(c.port) + ", \"status\": " + c.status + "}";
        const std::string target = std::to_string(c.port) + " ";
        Serve("\"443 " + check + "\": " + redirect + ", \"443 " + version + "\": " + redirect + ", " +
              Route(target + check, "OK") + ", " + Route(target + version, "1.0"));
        for (bool askVersion : {false, true}) {
            // Wine points the connection at a redirect's target for good: each query starts afresh.
            ASSERT_TRUE(m_client.OpenSession("localhost", testbed::kPrimaryPort));
            testbed::ClearRequests();
            char serverVersion[10];
            if (askVersion) {
                EXPECT_EQ(c.answered, IsVersionCurrent(m_client, "1.0", serverVersion));
                EXPECT_STREQ(c.answered ? "1.0" : "", serverVersion);
            } else {
                EXPECT_EQ(c.answered, CheckAccessCode(m_client, 7));
            }
            const auto requests = testbed::Requests();
            ASSERT_EQ(2u, requests.size()) << "the redirect was followed";
            EXPECT_EQ(c.port, requests[1].port);
            EXPECT_EQ(askVersion ? version : check + "?code=7", requests[1].path);
        }
    }
}

TEST(ServerQueriesWithoutServer, UnreachableServerFailsEveryQuery) {
    Serve("", ", \"down\": [443]");
    CUpdaterClient client;
    client.Init();
    client.OpenSession("localhost", testbed::kPrimaryPort);
    char version[10];
    EXPECT_FALSE(CheckAccessCode(client, 1));
    EXPECT_FALSE(IsVersionCurrent(client, "", version));
    EXPECT_STREQ("", version);
    client.Close();
}

}  // namespace
