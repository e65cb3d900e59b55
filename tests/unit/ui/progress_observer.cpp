#include "progress_observer.h"

#include <commctrl.h>

#include "ui/progress_handover.h"

namespace {

CProgressObserver* g_observer = nullptr;

class CLock {
public:
    explicit CLock(CRITICAL_SECTION& section) : m_section(section) { EnterCriticalSection(&m_section); }
    ~CLock() { LeaveCriticalSection(&m_section); }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

private:
    CRITICAL_SECTION& m_section;
};

bool IsEndCommand(const MSG& message) {
    return message.message == WM_COMMAND &&
           (LOWORD(message.wParam) == IDOK || LOWORD(message.wParam) == IDCANCEL);
}

}  // namespace

CProgressObserver::CProgressObserver() {
    InitializeCriticalSection(&m_lock);
    g_observer = this;
    g_progressInitHook = OnProgressInit;
}

CProgressObserver::~CProgressObserver() {
    CloseLeftoverWindows(10000);
    g_progressInitHook = nullptr;
    g_observer = nullptr;
    DeleteCriticalSection(&m_lock);
}

CProgressObserver::CRecord* CProgressObserver::RecordOfThisThread() {
    const DWORD threadId = GetCurrentThreadId();
    for (CRecord& record : m_records) {
        if (record.window.threadId == threadId) {
            return &record;
        }
    }
    return nullptr;
}

void CProgressObserver::OnProgressInit(HWND dialog) {
    CProgressObserver& self = *g_observer;
    const DWORD threadId = GetCurrentThreadId();
    {
        CLock lock(self.m_lock);
        self.m_records.emplace_back();
        CRecord& record = self.m_records.back();
        record.window.threadId = threadId;
        record.window.dialog = dialog;
        record.thread.Reset(OpenThread(SYNCHRONIZE, FALSE, threadId));
    }
    // Hooks of a thread go with the thread.
    SetWindowsHookExA(WH_CALLWNDPROC, CallWndProc, nullptr, threadId);
    SetWindowsHookExA(WH_GETMESSAGE, GetMsgProc, nullptr, threadId);
    if (self.m_holdEvent != nullptr) {
        WaitForSingleObject(self.m_holdEvent, 30000);
    }
    if (self.m_delayMs != 0) {
        Sleep(self.m_delayMs);
    }
}

LRESULT CALLBACK CProgressObserver::CallWndProc(int code, WPARAM fromThisThread, LPARAM lParam) {
    const CWPSTRUCT& message = *reinterpret_cast<const CWPSTRUCT*>(lParam);
    bool downloadClose = false;
    if (code == HC_ACTION && g_observer != nullptr) {
        CLock lock(g_observer->m_lock);
        CRecord* record = g_observer->RecordOfThisThread();
        if (record != nullptr) {
            CObservedWindow& window = record->window;
            const bool fromDownload = fromThisThread == 0;
            if (message.message == PBM_SETPOS && GetParent(message.hwnd) == window.dialog) {
                if (!fromDownload) {
                    window.ready = window.ready || message.wParam == 0;
                } else {
                    window.positions.push_back(static_cast<UINT>(message.wParam));
                    window.positionsBeforeReady += window.ready ? 0 : 1;
                    window.sentAfterEndCommand += window.endCommands > 0 ? 1 : 0;
                }
            } else if (message.hwnd == window.dialog) {
                if (message.message == WM_CLOSE && fromDownload) {
                    ++window.closes;
                    window.sentAfterEndCommand += window.endCommands > 0 ? 1 : 0;
                    downloadClose = true;
                } else if (message.message == WM_CLOSE) {
                    window.userClosed = true;
                } else if (message.message == WM_SHOWWINDOW && message.wParam != 0) {
                    window.shown = true;
                } else if (message.message == WM_WINDOWPOSCHANGED &&
                           (reinterpret_cast<const WINDOWPOS*>(message.lParam)->flags & SWP_SHOWWINDOW) !=
                               0) {
                    window.shown = true;
                } else if (message.message == WM_DESTROY) {
                    window.destroyed = true;
                }
            }
        }
    }
    if (downloadClose && g_observer->m_onDownloadClose) {
        g_observer->m_onDownloadClose();
    }
    return CallNextHookEx(nullptr, code, fromThisThread, lParam);
}

LRESULT CALLBACK CProgressObserver::GetMsgProc(int code, WPARAM removal, LPARAM lParam) {
    const MSG& message = *reinterpret_cast<const MSG*>(lParam);
    bool firstEnd = false;
    if (code == HC_ACTION && removal == PM_REMOVE && g_observer != nullptr) {
        CLock lock(g_observer->m_lock);
        CRecord* record = g_observer->RecordOfThisThread();
        if (record != nullptr && message.hwnd == record->window.dialog && IsEndCommand(message)) {
            firstEnd = ++record->window.endCommands == 1;
        }
    }
    if (firstEnd && g_observer->m_holdEnd) {
        const DWORD start = GetTickCount();
        while (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) == 0 && GetTickCount() - start < 5000) {
            Sleep(1);
        }
    }
    return CallNextHookEx(nullptr, code, removal, lParam);
}

size_t CProgressObserver::WindowCount() {
    CLock lock(m_lock);
    return m_records.size();
}

CObservedWindow CProgressObserver::Window(size_t index) {
    CLock lock(m_lock);
    return index < m_records.size() ? m_records[index].window : CObservedWindow();
}

bool CProgressObserver::WaitForWindow(size_t index, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (WindowCount() <= index) {
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        Sleep(5);
    }
    return true;
}

bool CProgressObserver::WaitForAllThreads(DWORD timeoutMs) {
    std::vector<HANDLE> threads;
    {
        CLock lock(m_lock);
        for (const CRecord& record : m_records) {
            threads.push_back(record.thread.Get());
        }
    }
    const DWORD start = GetTickCount();
    for (HANDLE thread : threads) {
        const DWORD spent = GetTickCount() - start;
        if (WaitForSingleObject(thread, spent < timeoutMs ? timeoutMs - spent : 0) != WAIT_OBJECT_0) {
            return false;
        }
    }
    return true;
}

bool CProgressObserver::CloseLeftoverWindows(DWORD timeoutMs) {
    {
        CLock lock(m_lock);
        for (const CRecord& record : m_records) {
            if (WaitForSingleObject(record.thread.Get(), 0) != WAIT_OBJECT_0) {
                PostMessageA(record.window.dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            }
        }
    }
    if (m_holdEvent != nullptr) {
        SetEvent(m_holdEvent);
    }
    return WaitForAllThreads(timeoutMs);
}
