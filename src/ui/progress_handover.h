// The hand-over of the progress window's two handles (m_hProgressBar, m_hProgressWindow of the
// client) between the download on the main thread and the window on a thread of its own. The window
// publishes both handles only once its bar is set up and withdraws them before it ends; the download
// sends only through published handles, so progress sent before the window is ready is dropped and
// nothing is sent to a window that has ended. A close requested before the window is ready is kept
// and ends the window when it initialises, before it is shown. One progress window at a time: a
// download begins its hand-over only when no window of an earlier download is left.
#pragma once

#include <windows.h>

#include "net/http_connection.h"

// Download side (main thread). Begin before the window's thread is started.
void BeginProgressHandover(CUpdaterClient& client);
void SendProgressPosition(CUpdaterClient& client, UINT percentage);
void RequestProgressClose(CUpdaterClient& client);

// Window side (the window's thread).
bool IsProgressCloseRequested();
// False when a close was requested meanwhile: the window must end without publishing.
bool PublishProgressWindow(CUpdaterClient& client, HWND window, HWND bar);
// Withdraws the handles. True when the window may end now; false while a send through its handles
// has not returned, in which case an IDCANCEL command is posted to the window once it has.
bool WithdrawProgressWindow(CUpdaterClient& client, HWND window);

// Test seam: when set, called on the window's thread as its initialisation starts. Null in the
// program, where nothing sets it.
extern void (*g_progressInitHook)(HWND window);
