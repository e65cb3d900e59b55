// The elevation gate: the membership test on Wine's real token and on tokens a seam stands in for,
// and the gate's outcomes in processes of their own (it relaunches and ends the process it runs in).
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "child_processes.h"
#include "fake_token_groups.h"
#include "system/elevation_gate.h"

using namespace systemtest;

namespace {

TEST(AdministratorsMembership, WinesUserIsAMember) {
    EXPECT_TRUE(IsAdministratorsMember());
}

class FakeTokenTest : public ::testing::Test {
protected:
    void SetUp() override { g_pfnGetTokenInformation = &FakeGetTokenInformation; }
    void TearDown() override { g_pfnGetTokenInformation = &GetTokenInformation; }
};

TEST_F(FakeTokenTest, AUserOutsideTheGroupIsNoMember) {
    SetFakeTokenGroups({{WinWorldSid, SE_GROUP_ENABLED},
                        {WinBuiltinUsersSid, SE_GROUP_ENABLED},
                        {WinAuthenticatedUserSid, SE_GROUP_ENABLED}});
    EXPECT_FALSE(IsAdministratorsMember());
}

TEST_F(FakeTokenTest, AnEmptyGroupListGivesFalse) {
    SetFakeTokenGroups({});
    EXPECT_FALSE(IsAdministratorsMember());
}

TEST_F(FakeTokenTest, TheGroupCountsWhateverItsAttributes) {
    // An administrator's filtered, unelevated token: the group is there for deny only.
    SetFakeTokenGroups(
        {{WinWorldSid, SE_GROUP_ENABLED}, {WinBuiltinAdministratorsSid, SE_GROUP_USE_FOR_DENY_ONLY}});
    EXPECT_TRUE(IsAdministratorsMember());
    SetFakeTokenGroups({{WinWorldSid, SE_GROUP_ENABLED},
                        {WinBuiltinUsersSid, SE_GROUP_ENABLED},
                        {WinBuiltinAdministratorsSid, 0}});
    EXPECT_TRUE(IsAdministratorsMember());
}

BOOL WINAPI UnreadableGroups(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD returned) {
    *returned = 0;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI SizedButUnreadableGroups(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID buffer, DWORD length,
                                     PDWORD returned) {
    if (buffer != nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return GetTokenInformation(token, type, buffer, length, returned);
}

TEST_F(FakeTokenTest, GroupsThatCannotBeReadGiveFalse) {
    g_pfnGetTokenInformation = &UnreadableGroups;
    EXPECT_FALSE(IsAdministratorsMember());
    g_pfnGetTokenInformation = &SizedButUnreadableGroups;
    EXPECT_FALSE(IsAdministratorsMember());
}

// One instance of the gate host as its log tells it: its events in order, e.g.
// "start(-start) pass 1 exit", and the path it ran from.
struct SGateInstance {
    std::string events;
    std::string path;
};

class ElevationGateRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = FreshFolder("vxsys_gate");
        m_program = m_folder + "\\vxgatehost.exe";
        m_log = m_folder + "\\gatehost.log";
        ASSERT_TRUE(CopyFileA(HelperProgram("vxgatehost.exe").c_str(), m_program.c_str(), FALSE));
    }
    void TearDown() override { RemoveTree(m_folder); }

    // Runs the host with the arguments to its end; returns its exit code (1000 when it hung).
    DWORD Run(const std::string& arguments, const std::string* environment = nullptr) {
        DeleteFileA(m_log.c_str());
        CChildProcess host;
        DWORD exitCode = 1000;
        EXPECT_TRUE(host.Start("\"" + m_program + "\" " + arguments, m_folder.c_str(), environment));
        EXPECT_TRUE(host.WaitForExit(kGenerousWaitMs, &exitCode));
        m_hostId = host.Id();
        return exitCode;
    }

    std::map<DWORD, SGateInstance> Instances() {
        std::map<DWORD, SGateInstance> instances;
        std::istringstream log(ReadWholeFile(m_log));
        std::string line;
        while (std::getline(log, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            std::vector<std::string> fields;
            std::istringstream parts(line);
            for (std::string field; std::getline(parts, field, '\t');) {
                fields.push_back(field);
            }
            if (fields.size() < 2) {
                continue;
            }
            SGateInstance& instance = instances[std::stoul(fields[1])];
            std::string event = fields[0];
            if (event == "start" && fields.size() == 4) {
                event += "(" + fields[2] + ")";
                instance.path = fields[3];
            } else if (event == "pass" && fields.size() == 3) {
                event += " " + fields[2];
            }
            instance.events += (instance.events.empty() ? "" : " ") + event;
        }
        return instances;
    }

    // The one instance started by the test, its events as expected, and no other host running.
    void ExpectAloneWithEvents(const std::string& events) {
        const std::map<DWORD, SGateInstance> instances = Instances();
        ASSERT_EQ(1u, instances.size());
        EXPECT_EQ(m_hostId, instances.begin()->first);
        EXPECT_EQ(events, instances.begin()->second.events);
        EXPECT_TRUE(ProcessesNamed("vxgatehost.exe").empty()) << "a second instance was started";
    }

    std::string m_folder;
    std::string m_program;
    std::string m_log;
    DWORD m_hostId = 0;
};

TEST_F(ElevationGateRunTest, AMemberWithoutArgumentsIsRelaunchedWithStartAndEnds) {
    EXPECT_EQ(0u, Run(""));
    // The relaunched instance runs on its own; wait until it has ended too.
    ASSERT_TRUE(WaitUntil([&] {
        const std::map<DWORD, SGateInstance> instances = Instances();
        return instances.size() == 2 && ProcessesNamed("vxgatehost.exe").empty();
    })) << ReadWholeFile(m_log);

    std::map<DWORD, SGateInstance> instances = Instances();
    ASSERT_EQ(1u, instances.count(m_hostId));
    const SGateInstance first = instances[m_hostId];
    instances.erase(m_hostId);
    const SGateInstance relaunched = instances.begin()->second;
    EXPECT_EQ("start() exit", first.events);  // ended through the runtime's exit, without passing
    EXPECT_EQ("start(-start) pass 1 exit", relaunched.events);
    EXPECT_EQ(m_program, first.path);
    EXPECT_EQ(m_program, relaunched.path);
}

TEST_F(ElevationGateRunTest, AMemberWithStartPasses) {
    EXPECT_EQ(11u, Run("-start"));
    ExpectAloneWithEvents("start(-start) pass 1 exit");
}

TEST_F(ElevationGateRunTest, AMemberWithAnyOtherArgumentsEndsAtOnce) {
    for (const char* arguments : {"-START", "-start x", "-start -start", "-stop", "start", "\"-start \""}) {
        SCOPED_TRACE(arguments);
        EXPECT_EQ(0u, Run(arguments));
        std::string recorded = arguments;
        if (recorded == "\"-start \"") {
            recorded = "-start ";
        }
        ExpectAloneWithEvents("start(" + recorded + ") exit");
    }
}

TEST_F(ElevationGateRunTest, ANonMemberRunsAsStartedWhateverItsArguments) {
    const std::string environment = EnvironmentWith({{"VX_GATEHOST_GROUPS", "plain"}});
    for (const char* arguments : {"", "-start", "-START", "one two"}) {
        SCOPED_TRACE(arguments);
        EXPECT_EQ(10u, Run(arguments, &environment));
        ExpectAloneWithEvents("start(" + std::string(arguments) + ") pass 0 exit");
    }
}

}  // namespace
