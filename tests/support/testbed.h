// What a unit test running under Wine sees of its test bed: the local servers' scenario, which it
// sets, and their request log, which it reads (see tools/testbed).
#pragma once

#include <string>
#include <vector>

namespace testbed {

const unsigned short kProbePort = 80;
const unsigned short kPrimaryPort = 443;
const unsigned short kBackupPort = 8080;
const unsigned short kUntrustedPort = 4431;  // certificate from a CA the prefix does not trust
const unsigned short kWrongHostPort = 4432;  // trusted certificate for another host name

struct LoggedRequest {
    int port;
    std::string path;
    std::string version;
    std::string userAgent;
    std::string accept;
};

// A file of the run's folder, as a Windows path.
std::string RunFile(const char* name);
// Replaces the servers' answers; json is {"routes": {"<port> <path>": {...}}}.
void SetScenario(const std::string& json);
// Forgets the requests logged so far.
void ClearRequests();
std::vector<LoggedRequest> Requests();

}  // namespace testbed
