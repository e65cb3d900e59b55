#include "testbed.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testbed {

std::string RunFile(const char* name) {
    const char* dir = getenv("VX_TESTBED_DIR");
    std::string path = "Z:";
    path += dir != nullptr ? dir : "/nonexistent";
    path += "/";
    path += name;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

void SetScenario(const std::string& json) {
    const std::string target = RunFile("scenario.json");
    const std::string temporary = target + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << json;
    }
    MoveFileExA(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void ClearRequests() {
    DeleteFileA(RunFile("requests.tsv").c_str());
    DeleteFileA(RunFile("requests.log").c_str());
}

std::vector<LoggedRequest> Requests() {
    std::vector<LoggedRequest> requests;
    std::ifstream in(RunFile("requests.tsv"), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        LoggedRequest request;
        std::string port;
        std::getline(fields, port, '\t');
        std::getline(fields, request.path, '\t');
        std::getline(fields, request.version, '\t');
        std::getline(fields, request.userAgent, '\t');
        std::getline(fields, request.accept, '\t');
        request.port = atoi(port.c_str());
        requests.push_back(request);
    }
    return requests;
}

}  // namespace testbed
