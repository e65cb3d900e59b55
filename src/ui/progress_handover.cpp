#include "ui/progress_handover.h"

#include <commctrl.h>

// One lock guards the client's two handles and the state below; it is held only for a few reads and
// writes and, at most, one PostMessageA.
//
// No deadlock: neither thread sends, waits or pumps messages while it holds the lock (PostMessageA
// only queues and never waits for the receiving thread). The download's SendMessageA is made after
// the lock is released, so the window's thread can always take the lock for its short sections and
// go back to its message loop, where it answers the send. The window's thread never waits for the
// download's thread.
//
// No message reaches a window that has ended: the download sends only through a handle that it took
// under the lock while the window had it published, and it marks that send in flight. The window
// withdraws its handles under the lock before it ends, and while a send is in flight it does not
// end: the send, once returned, posts it the IDCANCEL command that ends it. So every send finds the
// window it was meant for, and after the end no handle of that window is left to send through.
//
// No close is lost: the request is recorded under the lock. A window that has published its handles
// receives WM_CLOSE; one that has not finds the request before it shows itself, or when it publishes,
// and ends instead.

void (*g_progressInitHook)(HWND window) = nullptr;

namespace {

SRWLOCK g_handoverLock = SRWLOCK_INIT;
bool g_closeRequested = false;
bool g_sendInFlight = false;
HWND g_windowAwaitingEnd = nullptr;

class CHandoverLock {
public:
    CHandoverLock() { AcquireSRWLockExclusive(&g_handoverLock); }
    ~CHandoverLock() { ReleaseSRWLockExclusive(&g_handoverLock); }
    CHandoverLock(const CHandoverLock&) = delete;
    CHandoverLock& operator=(const CHandoverLock&) = delete;
};

// Only the main thread sends, one message at a time, so at most one send is in flight.
HWND TakeForSend(HWND published) {
    g_sendInFlight = published != nullptr;
    return published;
}

void FinishSend() {
    CHandoverLock lock;
    g_sendInFlight = false;
    if (g_windowAwaitingEnd != nullptr) {
        PostMessageA(g_windowAwaitingEnd, WM_COMMAND, IDCANCEL, 0);
        g_windowAwaitingEnd = nullptr;
    }
}

}  // namespace

void BeginProgressHandover(CUpdaterClient& client) {
    CHandoverLock lock;
    client.m_hProgressBar = nullptr;
    client.m_hProgressWindow = nullptr;
    g_closeRequested = false;
    g_windowAwaitingEnd = nullptr;
}

void SendProgressPosition(CUpdaterClient& client, UINT percentage) {
    HWND bar = nullptr;
    {
        CHandoverLock lock;
        bar = TakeForSend(client.m_hProgressBar);
    }
    if (bar != nullptr) {
        SendMessageA(bar, PBM_SETPOS, percentage, 0);
        FinishSend();
    }
}

void RequestProgressClose(CUpdaterClient& client) {
    HWND window = nullptr;
    {
        CHandoverLock lock;
        g_closeRequested = true;
        window = TakeForSend(client.m_hProgressWindow);
    }
    if (window != nullptr) {
        SendMessageA(window, WM_CLOSE, 0, 0);
        FinishSend();
    }
}

bool IsProgressCloseRequested() {
    CHandoverLock lock;
    return g_closeRequested;
}

bool PublishProgressWindow(CUpdaterClient& client, HWND window, HWND bar) {
    CHandoverLock lock;
    if (g_closeRequested) {
        return false;
    }
    client.m_hProgressBar = bar;
    client.m_hProgressWindow = window;
    return true;
}

bool WithdrawProgressWindow(CUpdaterClient& client, HWND window) {
    CHandoverLock lock;
    client.m_hProgressBar = nullptr;
    client.m_hProgressWindow = nullptr;
    g_windowAwaitingEnd = g_sendInFlight ? window : nullptr;
    return !g_sendInFlight;
}
