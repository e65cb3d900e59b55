// Stands in for DownloadPackage until that module arrives, with the result that lets the
// update sequence go on. Goes away with the module.
#include <windows.h>

#include "net/package_download.h"

bool DownloadPackage(CUpdaterClient&, const char*, const char*) {
    return false;
}
