// The download's floor on this platform: only the calls a download with a progress window must
// make, and none of the starter's code. One request for the package, 4 KB InternetReadFile reads,
// WriteFile of each, and one SendMessageA(PBM_SETPOS) per read to the bar of the starter's progress
// dialog, which runs on a thread of its own; then the file is deleted and the window closed, as the
// download does. Reports the result and the time those calls took, for bench/download/run_bench.py.
#include <windows.h>
#include <commctrl.h>
#include <wininet.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "resource.h"

namespace {

const DWORD kBlockSize = 4096;

// Written once by the window's thread when its bar is ready; until then no position is sent, as
// in the download.
std::atomic<HWND> g_bar{nullptr};
std::atomic<HWND> g_window{nullptr};

INT_PTR CALLBACK FloorDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        HWND bar = GetDlgItem(window, IDC_PROGRESS_BAR);
        SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        g_window = window;
        g_bar = bar;
        return TRUE;
    }
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        EndDialog(window, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

DWORD WINAPI WindowThreadProc(LPVOID) {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, FloorDialogProc, 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: vxdownload_floor PORT VERSION\n");
        return 2;
    }
    char path[256] = {};
    char archive[32] = {};
    snprintf(path, sizeof(path), "/download/app/customer/%s.zip", argv[2]);
    snprintf(archive, sizeof(archive), "%s.zip", argv[2]);
    HINTERNET session = InternetOpenA("Vantorix", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection = InternetConnectA(session, "localhost", static_cast<INTERNET_PORT>(atoi(argv[1])),
                                            nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);

    LARGE_INTEGER start = {};
    QueryPerformanceCounter(&start);
    HINTERNET request =
        HttpOpenRequestA(connection, "GET", path, "HTTP/1.0", nullptr, nullptr,
                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE, 0);
    if (request == nullptr || !HttpSendRequestA(request, nullptr, 0, nullptr, 0)) {
        fprintf(stderr, "request failed\n");
        return 1;
    }
    char buffer[kBlockSize + 1] = {};
    DWORD textLength = kBlockSize;
    HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, buffer, &textLength, nullptr);
    const double declared = strtod(buffer, nullptr);
    HANDLE file =
        CreateFileA(archive, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    CreateThread(nullptr, 0, WindowThreadProc, nullptr, 0, nullptr);

    DWORD received = 0;
    DWORD count = 0;
    DWORD sends = 0;
    bool ok = true;
    do {
        DWORD written = 0;
        if (!InternetReadFile(request, buffer, kBlockSize, &count) ||
            !WriteFile(file, buffer, count, &written, nullptr)) {
            ok = false;
            break;
        }
        received += count;
        HWND bar = g_bar;
        if (bar != nullptr) {
            const double percentage = declared > 0 ? received / declared * 100.0 : 0.0;
            SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(percentage), 0);
            ++sends;
        }
    } while (count != 0);
    CloseHandle(file);
    DeleteFileA(archive);
    HWND window = g_window;
    if (window != nullptr) {
        SendMessageA(window, WM_CLOSE, 0, 0);
    }
    LARGE_INTEGER end = {};
    LARGE_INTEGER frequency = {};
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(session);
    printf("result=%d seconds=%.4f bytes=%lu sends=%lu\n", ok ? 1 : 0,
           static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart),
           static_cast<unsigned long>(received), static_cast<unsigned long>(sends));
    fflush(stdout);
    return ok ? 0 : 1;
}
