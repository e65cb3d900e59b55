// Downloads the package named after the server's version into the working folder while the
// progress window runs, unpacks it there and deletes the archive.
#pragma once

#include "net/http_connection.h"

// True when the whole archive arrived and was unpacked.
bool DownloadPackage(CUpdaterClient& client, const char* serverVersion, const char* workingFolder);
