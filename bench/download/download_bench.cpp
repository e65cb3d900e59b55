// Runs one DownloadPackage, with its progress window, against an HTTPS server on localhost into
// the current directory, and reports the result, the time the call took and the process's peak
// working set, for bench/download/run_bench.py; also when the window's initialisation began, so
// that a run whose window came late (and was sent little) shows as such. With --hold-window the
// initialisation waits until the download has returned, so that the download runs without sending
// the window anything: the cost of the sends shows as the difference. With --hash it only hashes
// 100 MB in the download's 4 KB blocks, as a build with package keys does while it writes, and
// reports that time: the check's cost on its own, outside the download's spread.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/globals.h"
#include "net/http_connection.h"
#include "net/package_download.h"
#include "net/package_signature.h"
#include "ui/progress_handover.h"
#include "unzip/unzipper.h"

namespace {

HANDLE g_downloadDone = nullptr;
LARGE_INTEGER g_start = {};
LARGE_INTEGER g_windowInit = {};

void OnWindowInit(HWND) {
    QueryPerformanceCounter(&g_windowInit);
    if (g_downloadDone != nullptr) {
        WaitForSingleObject(g_downloadDone, INFINITE);
    }
}

double SecondsSinceStart(const LARGE_INTEGER& moment) {
    LARGE_INTEGER frequency = {};
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(moment.QuadPart - g_start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int HashBlocks() {
    static BYTE block[4096] = {};
    for (DWORD i = 0; i < sizeof(block); ++i) {
        block[i] = static_cast<BYTE>(i * 31 + 7);
    }
    BYTE digest[kSha256Size] = {};
    CSha256 hash;
    QueryPerformanceCounter(&g_start);
    bool hashed = hash.Begin();
    for (DWORD blocks = 0; hashed && blocks < (100u << 20) / sizeof(block); ++blocks) {
        block[0] = static_cast<BYTE>(blocks);
        hashed = hash.Add(block, sizeof(block));
    }
    hashed = hashed && hash.Finish(digest);
    LARGE_INTEGER end = {};
    QueryPerformanceCounter(&end);
    printf("result=%d hash_seconds=%.4f\n", hashed ? 1 : 0, SecondsSinceStart(end));
    return hashed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--hash") == 0) {
        return HashBlocks();
    }
    const bool holdWindow = argc == 4 && strcmp(argv[3], "--hold-window") == 0;
    if (argc != 3 && !holdWindow) {
        fprintf(stderr, "usage: vxdownload_bench PORT VERSION [--hold-window] | --hash\n");
        return 2;
    }
    if (holdWindow) {
        g_downloadDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    g_progressInitHook = OnWindowInit;
    g_instance = GetModuleHandleA(nullptr);
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof(folder), folder);
    if (!g_updater.OpenSession("localhost", static_cast<INTERNET_PORT>(atoi(argv[1])))) {
        fprintf(stderr, "no session\n");
        return 2;
    }
    LARGE_INTEGER end = {};
    QueryPerformanceCounter(&g_start);
    const bool result = DownloadPackage(g_updater, argv[2], folder);
    QueryPerformanceCounter(&end);
    if (result) {
        // As the update sequence does once the version is recorded: the committed journal and the
        // files the update replaced go, so that the folder holds what unzip leaves.
        CUnzipper::RemoveReplacedFiles(folder);
    }
    if (holdWindow) {
        SetEvent(g_downloadDone);  // the process ends right after; the event goes with it
    }
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    // The window's thread writes g_windowInit before it can be held; a window that has not begun
    // by now shows as -1.
    const double windowInit = g_windowInit.QuadPart != 0 ? SecondsSinceStart(g_windowInit) : -1.0;
    printf("result=%d seconds=%.4f window_init=%.4f peak_working_set=%lu\n", result ? 1 : 0,
           SecondsSinceStart(end), windowInit, static_cast<unsigned long>(memory.PeakWorkingSetSize));
    fflush(stdout);
    return result ? 0 : 1;
}
