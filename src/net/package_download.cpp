#include "net/package_download.h"

#include <cstdio>
#include <cstring>

#include "net/package_check.h"
#include "net/server_queries.h"
#include "system/scoped_handles.h"
#include "ui/progress_handover.h"
#include "ui/progress_window.h"
#include "unzip/entry_name_rules.h"
#include "unzip/unzipper.h"

namespace {

const DWORD kBlockSize = 4096;
const DWORD kHeaderTextLength = 256;
const UINT kFullBar = 100;
const char kArchiveSuffix[] = ".zip";

// The version names a file in the working folder and a request path: it must be printable ASCII
// without blanks, path, wildcard or URL delimiters, and must not turn the file into a device. The
// empty version is allowed; it asks for ".zip".
bool IsUsableVersion(const char* version, const char* archiveName) {
    for (const char* c = version; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < 0x21 || byte > 0x7E || strchr("\\/:*?\"<>|%#", byte) != nullptr) {
            return false;
        }
    }
    // The bytes checked above are ASCII, which widens unchanged.
    wchar_t wideName[20] = {};
    for (size_t i = 0; i + 1 < sizeof(wideName) / sizeof(wideName[0]) && archiveName[i] != '\0'; ++i) {
        wideName[i] = static_cast<wchar_t>(archiveName[i]);
    }
    return !IsReservedDeviceName(wideName);
}

// The Content-Length as an unsigned 32-bit decimal; false when it has no digits, holds anything
// else or does not fit.
bool ParseDeclaredLength(const char* text, DWORD& length) {
    if (*text == '\0') {
        return false;
    }
    unsigned long long value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(*c - '0');
        if (value > 0xFFFFFFFFull) {
            return false;
        }
    }
    length = static_cast<DWORD>(value);
    return true;
}

// Without a usable declared length the bar rests at 0 until the body has ended.
UINT ProgressPercentage(DWORD received, bool hasDeclaredLength, DWORD declared, bool ended) {
    if (!hasDeclaredLength || declared == 0) {
        return ended ? kFullBar : 0;
    }
    if (received >= declared) {
        return kFullBar;
    }
    return static_cast<UINT>(static_cast<double>(received) / static_cast<double>(declared) * 100.0);
}

}  // namespace

bool DownloadPackage(CUpdaterClient& client, const char* serverVersion, const char* workingFolder) {
    char archiveName[20] = {};
    const int nameLength = snprintf(archiveName, sizeof(archiveName), "%s%s", serverVersion, kArchiveSuffix);
    if (nameLength < 0 || nameLength >= static_cast<int>(sizeof(archiveName)) ||
        !IsUsableVersion(serverVersion, archiveName)) {
        return false;
    }
    char requestPath[256] = {};
    snprintf(requestPath, sizeof(requestPath), "/download/app/customer/%s", archiveName);

    // A bad or missing signature is refused before the large download.
    CPackageCheck check(g_packageKeys, g_packageKeyCount);
    if (!check.FetchSignature(client, archiveName, serverVersion) ||
        !RequestAnswer(client, requestPath, true)) {
        return false;
    }
    char buffer[kBlockSize + 1] = {};
    DWORD textLength = kHeaderTextLength;
    DWORD declared = 0;
    const bool hasDeclaredLength =
        client.m_http.QueryInfo(HTTP_QUERY_CONTENT_LENGTH, buffer, &textLength, nullptr) &&
        ParseDeclaredLength(buffer, declared);

    // By its relative name: the current directory is the working folder. An archive left by an
    // earlier run is deleted and a new file created, never truncated: a hard link or a link of that
    // name would be written through into the file it names elsewhere, and deleting removes only the name.
    DeleteFileA(archiveName);
    CScopedHandle archive(
        CreateFileA(archiveName, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!archive.IsValid()) {
        return false;
    }

    // The window's thread ends with its window or with the process; nobody waits for it, and its
    // handle stays open for the process's life.
    BeginProgressHandover(client);
    DWORD threadId = 0;
    CreateThread(nullptr, 0, ProgressThreadProc, &client, 0, &threadId);

    // A failed read or write, or a body shorter than declared, leaves the partial archive and the
    // window as they are, and nothing is unpacked. A package that fails its check is refused as a
    // damaged one: deleted, and its window closed.
    DWORD received = 0;
    DWORD count = 0;
    bool intact = true;
    do {
        if (!client.m_http.Read(buffer, kBlockSize, &count)) {
            return false;
        }
        DWORD written = 0;
        if (!WriteFile(archive.Get(), buffer, count, &written, nullptr)) {
            return false;
        }
        received += count;
        intact = check.Add(buffer, count);
        SendProgressPosition(client, ProgressPercentage(received, hasDeclaredLength, declared, count == 0));
    } while (count != 0 && intact);
    intact = check.Finish(archive, archiveName) && intact;
    if (intact && hasDeclaredLength && received != declared) {
        return false;
    }

    char archivePath[MAX_PATH] = {};
    const int pathLength = snprintf(archivePath, sizeof(archivePath), "%s\\%s", workingFolder, archiveName);
    const bool unpacked = intact && pathLength > 0 && pathLength < static_cast<int>(sizeof(archivePath)) &&
                          CUnzipper::ExtractArchive(archivePath, "./");
    check.Release();
    DeleteFileA(archiveName);
    RequestProgressClose(client);
    return unpacked;
}

bool RecoverInterruptedUpdate(char (&finishedVersion)[10]) {
    memset(finishedVersion, 0, sizeof(finishedVersion));
    char packageName[MAX_PATH] = {};
    CUnzipper::RecoverInterruptedUpdate("./", packageName);
    // The archive was saved as "<version>.zip".
    const size_t length = strlen(packageName);
    const size_t suffixLength = strlen(kArchiveSuffix);
    if (length < suffixLength || length - suffixLength >= sizeof(finishedVersion) ||
        strcmp(packageName + length - suffixLength, kArchiveSuffix) != 0) {
        return false;
    }
    memcpy(finishedVersion, packageName, length - suffixLength);
    if (!IsUsableVersion(finishedVersion, packageName)) {
        memset(finishedVersion, 0, sizeof(finishedVersion));
        return false;
    }
    return true;
}
