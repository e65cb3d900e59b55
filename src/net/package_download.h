// Downloads the package named after the server's version into the working folder while the
// progress window runs, unpacks it there and deletes the archive. A build with the vendor's keys
// installs only a package whose signature file checks (net/package_check.h).
#pragma once

#include "net/http_connection.h"

// True when the whole archive arrived and was unpacked.
bool DownloadPackage(CUpdaterClient& client, const char* serverVersion, const char* workingFolder);

// Finishes or undoes an update that an earlier run left unfinished in the working folder (the
// current directory). True with its version when all its files had been put in place: the caller
// records it, and CUnzipper::RemoveReplacedFiles then deletes the files it replaced.
bool RecoverInterruptedUpdate(char (&finishedVersion)[10]);
