// Watches the progress windows that downloads start, from inside each window's own thread (through
// the window's test seam and two message hooks on that thread): whether the window was shown, which
// positions and closes the download sent it, and in what order with the window's own steps. It can
// also hold or delay a window's initialisation. At its end it closes any window still open and
// waits for every window's thread.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <vector>

#include "system/scoped_handles.h"

struct CObservedWindow {
    DWORD threadId = 0;
    HWND dialog = nullptr;
    bool shown = false;
    bool ready = false;            // the window has set its bar's own position 0
    std::vector<UINT> positions;   // PBM_SETPOS sent by another thread, in order
    int positionsBeforeReady = 0;  // of those, how many arrived before the window was ready
    int closes = 0;                // WM_CLOSE sent by another thread
    int endCommands = 0;           // IDOK / IDCANCEL commands taken from the queue
    int sentAfterEndCommand = 0;   // positions and closes from another thread after the first one
    bool userClosed = false;       // WM_CLOSE from the window's own thread (close button, Alt+F4)
    bool destroyed = false;
};

class CProgressObserver {
public:
    CProgressObserver();
    ~CProgressObserver();
    CProgressObserver(const CProgressObserver&) = delete;
    CProgressObserver& operator=(const CProgressObserver&) = delete;

    // Each window's initialisation waits for this event (or up to 30 s) and then this long.
    void HoldInitialisation(HANDLE event) { m_holdEvent = event; }
    void DelayInitialisation(DWORD milliseconds) { m_delayMs = milliseconds; }
    // Makes the window take its first IDOK / IDCANCEL command only once a send from the download
    // is waiting for it (or after 5 s), so that the window ends while that send is in flight.
    void HoldEndUntilASendWaits(bool hold) { m_holdEnd = hold; }
    // Runs on the window's thread when the download's WM_CLOSE arrives.
    void OnDownloadClose(std::function<void()> callback) { m_onDownloadClose = callback; }

    size_t WindowCount();
    CObservedWindow Window(size_t index);
    // Waits until the window has been initialised (or timeout); false on time-out.
    bool WaitForWindow(size_t index, DWORD timeoutMs);
    // True when every observed window's thread has ended within the time.
    bool WaitForAllThreads(DWORD timeoutMs);
    // Asks every window still open to close, as its close button would, and waits for its thread.
    bool CloseLeftoverWindows(DWORD timeoutMs);

private:
    struct CRecord {
        CObservedWindow window;
        CScopedHandle thread;
    };

    static void OnProgressInit(HWND dialog);
    static LRESULT CALLBACK CallWndProc(int code, WPARAM fromThisThread, LPARAM lParam);
    static LRESULT CALLBACK GetMsgProc(int code, WPARAM removal, LPARAM lParam);
    CRecord* RecordOfThisThread();  // with m_lock held

    CRITICAL_SECTION m_lock;
    std::deque<CRecord> m_records;
    HANDLE m_holdEvent = nullptr;
    DWORD m_delayMs = 0;
    bool m_holdEnd = false;
    std::function<void()> m_onDownloadClose;
};
