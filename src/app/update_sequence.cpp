#include "app/update_sequence.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>

#include "app/globals.h"
#include "app/working_folder.h"
#include "net/http_connection.h"
#include "net/package_download.h"
#include "net/server_hosts.h"
#include "net/server_queries.h"
#include "resource.h"
#include "system/elevation_gate.h"
#include "system/process_terminator.h"
#include "system/self_removal.h"
#include "ui/access_code_dialog.h"
#include "unzip/unzipper.h"

namespace {

const char kHostProgram[] = "vxagent.exe";
const char* const kProductPrograms[] = {"vxagent.exe", "vxpanel.exe", "vxcourier.exe", "vxlink.exe"};
const DWORD kHostSettleMs = 500;

void RecordOsVersion() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    GetVersionExA(&info);
    g_osPlatformId = info.dwPlatformId;
    g_osMajorVersion = info.dwMajorVersion;
    g_osMinorVersion = info.dwMinorVersion;
}

// The product folder and the working folder, held open for the whole run.
struct CHeldFolders {
    CScopedHandle m_hProduct;
    CScopedHandle m_hWorking;
};

// Steps 3 to 5: product folder, server choice, working folder. False when the working folder
// cannot be used; the run must then not touch anything, as it would work in whatever folder it
// was started from. Any user can make either folder a link, or info.dat a hard link, below the
// shared documents folder: the elevated run would then write, delete and start where they point.
bool PrepareWorkingFolder(int& serverChoice, char (&folder)[MAX_PATH], char (&settingsPath)[MAX_PATH],
                          CHeldFolders& held) {
    char sharedDocuments[MAX_PATH] = {};
    SHGetSpecialFolderPathA(nullptr, sharedDocuments, CSIDL_COMMON_DOCUMENTS, FALSE);
    if (!BuildProductFolder(sharedDocuments, folder)) {
        return false;
    }
    CreateDirectoryA(folder, nullptr);  // an existing folder is no error
    if (!HoldRealFolder(folder, held.m_hProduct)) {
        return false;
    }
    serverChoice = ProbeServerSelection();
    return BuildWorkingFolder(serverChoice, folder, settingsPath) && EnterFolder(folder, held.m_hWorking) &&
           IsSettingsFileSingle(settingsPath);
}

void StopProductPrograms(bool isAdminMember) {
    LaunchHost("-stop");
    if (isAdminMember) {
        LaunchHost("-remove");
    }
    for (const char* program : kProductPrograms) {
        TerminateProcessesByName(program);
    }
    Sleep(kHostSettleMs);
}

// The host program of the working folder (the current directory) by its full name: given a bare
// name, the shell would prefer a vxagent.exe lying beside the starter, typically in a Downloads
// folder, and run that one, elevated for an administrator.
void StartHostProgram(const char* parameters) {
    char hostPath[MAX_PATH] = {};
    const DWORD length = GetFullPathNameA(kHostProgram, sizeof(hostPath), hostPath, nullptr);
    if (length == 0 || length >= sizeof(hostPath)) {
        return;  // no room for the name: nothing can be started from there
    }
    ShellExecuteA(nullptr, "open", hostPath, parameters, nullptr, SW_SHOWNORMAL);
}

void StartHost(bool isAdminMember) {
    if (isAdminMember) {
        LaunchHost("-install");
    }
    StartHostProgram(isAdminMember ? "-start" : "");
}

}  // namespace

void LaunchHost(const char* parameters) {
    StartHostProgram(parameters);
    Sleep(kHostSettleMs);
}

void RunUpdateSequence() {
    const bool isAdminMember = ApplyElevationGate();
    RecordOsVersion();

    int serverChoice = kPrimaryServer;
    char workingFolder[MAX_PATH] = {};
    char settingsPath[MAX_PATH] = {};
    CHeldFolders heldFolders;
    if (PrepareWorkingFolder(serverChoice, workingFolder, settingsPath, heldFolders)) {
        if (serverChoice == kPrimaryServer) {
            g_updater.OpenSession(kPrimaryHost, kPrimaryPort);
        } else {
            g_updater.OpenSession(kBackupHost, kBackupPort);
        }

        // Only an accepted code goes on: a cancel, or a dialog that could not be shown, must not
        // stop the host program and restart it with a code no server accepted.
        const INT_PTR dialogResult =
            DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_ACCESS_CODE), nullptr, AccessCodeDialogProc, 0);
        if (dialogResult == IDC_CONNECT) {
            StopProductPrograms(isAdminMember);

            // What an earlier run left half done is undone, or recorded once whole, before the
            // installed version is read. Its journal vouches for the files' version until info.dat
            // holds that version on disk.
            bool versionOnDisk = true;
            char finishedVersion[10] = {};
            if (RecoverInterruptedUpdate(finishedVersion)) {
                versionOnDisk = RecordInstalledVersion(settingsPath, finishedVersion);
            }

            char installedVersion[10] = {};
            char serverVersion[10] = {};
            ReadInstalledVersion(settingsPath, installedVersion);
            // The version is recorded only once its package is in place, so that a failed update
            // is tried again on the next run.
            bool installed = IsVersionCurrent(g_updater, installedVersion, serverVersion);
            if (!installed) {
                installed = DownloadPackage(g_updater, serverVersion, workingFolder);
            }

            RecordAccessCode(settingsPath, g_accessCode);
            StartHost(isAdminMember);
            if (installed) {
                versionOnDisk = RecordInstalledVersion(settingsPath, serverVersion);
            }
            // Only once the version is on disk and the host program runs again: the journal says
            // until then which version the files are.
            if (versionOnDisk) {
                CUnzipper::RemoveReplacedFiles("./");
            }
        }
    }
    StartSelfRemovalScript(kSelfRemovalTries);
}
