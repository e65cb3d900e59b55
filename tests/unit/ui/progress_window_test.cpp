// The download's progress window, watched from outside (where and how it shows, what its bar
// says) and from inside its thread (what the download sends it and when), and the hand-over of its
// handles hammered from both sides.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "download_fixture.h"
#include "net/http_connection.h"
#include "resource.h"

namespace {

// A download on a thread of its own, which then plays the main thread's part.
class CBackgroundDownload {
public:
    explicit CBackgroundDownload(const std::function<bool()>& download)
        : m_thread([this, download] {
              m_result = download();
              m_finished = true;
          }) {}
    ~CBackgroundDownload() { Join(); }
    bool Finished() const { return m_finished; }
    bool Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_result;
    }

private:
    std::atomic<bool> m_result{false};
    std::atomic<bool> m_finished{false};
    std::thread m_thread;
};

bool WaitUntil(DWORD timeoutMs, const std::function<bool()>& condition) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

UINT BarPosition(HWND dialog) {
    return static_cast<UINT>(SendMessageA(GetDlgItem(dialog, IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0));
}

// What holds for every window, whatever the timing: no progress before the window is ready, at
// most one message in flight when it ends, positions within the range and never going back, and
// a window that was never shown was sent nothing.
void ExpectSoundHandOver(const CObservedWindow& window) {
    EXPECT_EQ(0, window.positionsBeforeReady);
    EXPECT_LE(window.sentAfterEndCommand, 1);
    EXPECT_LE(window.closes, 1);
    for (size_t i = 0; i < window.positions.size(); ++i) {
        EXPECT_LE(window.positions[i], 100u);
        if (i > 0) {
            EXPECT_LE(window.positions[i - 1], window.positions[i]);
        }
    }
    if (!window.shown) {
        EXPECT_TRUE(window.positions.empty());
        EXPECT_EQ(0, window.closes);
    }
}

class ProgressWindowTest : public DownloadTest {
protected:
    std::vector<std::string> FullTree() {
        std::vector<std::string> tree = StandardPackageTree();
        tree.insert(tree.begin() + 2, "bin\\bulk.bin");
        return tree;
    }

    HWND VisibleWindow() {
        EXPECT_TRUE(m_observer->WaitForWindow(0, 10000));
        const HWND dialog = m_observer->Window(0).dialog;
        EXPECT_TRUE(WaitUntil(10000, [&] { return IsWindowVisible(dialog) != FALSE; }));
        return dialog;
    }
};

TEST_F(ProgressWindowTest, ShowsCentredAndTopmostWhileTheBodyArrivesAndClosesAfterTheUnpack) {
    ServePackage("3.0", StandardPackage(400 * 1024), "\"rate\": 200000");
    bool unpackedAtClose = false;
    bool archiveGoneAtClose = false;
    m_observer->OnDownloadClose([&] {
        unpackedAtClose = FileExists(WorkingPath("bin\\bulk.bin"));
        archiveGoneAtClose = !FileExists(WorkingPath("3.0.zip"));
    });
    CBackgroundDownload download([this] { return Download("3.0"); });

    const HWND dialog = VisibleWindow();
    RECT workArea = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    RECT frame = {};
    GetWindowRect(dialog, &frame);
    const LONG width = frame.right - frame.left;
    const LONG height = frame.bottom - frame.top;
    EXPECT_NEAR(workArea.left + (workArea.right - workArea.left - width) / 2, frame.left, 1);
    EXPECT_NEAR(workArea.top + (workArea.bottom - workArea.top - height) / 2, frame.top, 1);
    EXPECT_NE(0, GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_NE(0, SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0));

    const HWND bar = GetDlgItem(dialog, IDC_PROGRESS_BAR);
    char className[64] = {};
    GetClassNameA(bar, className, sizeof(className));
    EXPECT_STRCASEEQ(PROGRESS_CLASSA, className);
    EXPECT_EQ(0, SendMessageA(bar, PBM_GETRANGE, TRUE, 0));
    EXPECT_EQ(100, SendMessageA(bar, PBM_GETRANGE, FALSE, 0));
    EXPECT_EQ(bar, g_updater.m_hProgressBar);
    EXPECT_EQ(dialog, g_updater.m_hProgressWindow);

    // What the bar shows, read while the body arrives.
    std::vector<UINT> shown;
    while (!download.Finished() && IsWindow(dialog)) {
        shown.push_back(BarPosition(dialog));
        Sleep(50);
    }
    ASSERT_TRUE(download.Join());
    EXPECT_EQ(FullTree(), WorkingTree());

    UINT previous = 0;
    int between = 0;
    for (UINT position : shown) {
        EXPECT_LE(previous, position);
        between += (position > previous && position < 100) ? 1 : 0;
        previous = position;
    }
    EXPECT_GE(between, 3) << "the bar climbs";

    EXPECT_TRUE(m_observer->WaitForAllThreads(10000));
    EXPECT_FALSE(IsWindow(dialog));
    const CObservedWindow window = m_observer->Window(0);
    ExpectSoundHandOver(window);
    ASSERT_FALSE(window.positions.empty());
    EXPECT_EQ(100u, window.positions.back());
    EXPECT_EQ(1, window.closes);
    EXPECT_TRUE(unpackedAtClose);
    EXPECT_TRUE(archiveGoneAtClose);
    EXPECT_EQ(nullptr, g_updater.m_hProgressBar);
    EXPECT_EQ(nullptr, g_updater.m_hProgressWindow);
}

TEST_F(ProgressWindowTest, UserWhoClosesItMidDownloadLosesOnlyTheDisplay) {
    ServePackage("3.0", StandardPackage(400 * 1024), "\"rate\": 150000");
    CBackgroundDownload download([this] { return Download("3.0"); });
    const HWND dialog = VisibleWindow();
    ASSERT_TRUE(WaitUntil(10000, [&] { return BarPosition(dialog) > 5; }));

    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);  // the caption's close button
    EXPECT_TRUE(m_observer->WaitForAllThreads(10000));
    EXPECT_FALSE(download.Finished()) << "the body was still arriving";
    EXPECT_EQ(nullptr, g_updater.m_hProgressBar);
    EXPECT_EQ(nullptr, g_updater.m_hProgressWindow);

    EXPECT_TRUE(download.Join());
    EXPECT_EQ(FullTree(), WorkingTree());
    const CObservedWindow window = m_observer->Window(0);
    ExpectSoundHandOver(window);
    EXPECT_TRUE(window.userClosed);
    EXPECT_EQ(0, window.closes) << "the download's close found no window";
    EXPECT_EQ(1u, m_observer->WindowCount());
}

TEST_F(ProgressWindowTest, WindowClosedWhileAProgressSendIsInFlightEndsOnceItHasReturned) {
    ServePackage("3.0", StandardPackage(400 * 1024), "\"rate\": 150000");
    CBackgroundDownload download([this] { return Download("3.0"); });
    const HWND dialog = VisibleWindow();
    ASSERT_TRUE(WaitUntil(10000, [&] { return BarPosition(dialog) > 5; }));

    m_observer->HoldEndUntilASendWaits(true);
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(m_observer->WaitForAllThreads(10000));
    EXPECT_TRUE(download.Join());
    const CObservedWindow window = m_observer->Window(0);
    // The send in flight reached the window after it had withdrawn its handles, and the window ended
    // only on the second command, posted when that send returned. Nothing came after.
    EXPECT_EQ(1, window.sentAfterEndCommand);
    EXPECT_EQ(2, window.endCommands);
    EXPECT_EQ(0, window.closes);
}

TEST_F(ProgressWindowTest, DownloadFailingMidBodyLeavesTheWindowOpen) {
    ServePackage("3.0", StandardPackage(400 * 1024), "\"rate\": 400000, \"cut_after\": 200000");
    CBackgroundDownload download([this] { return Download("3.0"); });
    const HWND dialog = VisibleWindow();
    EXPECT_FALSE(download.Join());
    WindowWasStarted();
    Sleep(500);
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(dialog, g_updater.m_hProgressWindow);
    EXPECT_EQ(0, m_observer->Window(0).closes);
    // The window ends with the process; here the fixture closes it.
}

TEST_F(ProgressWindowTest, ShortDownloadNeverLeavesAWindow) {
    ServePackage("3.0", StandardPackage());
    for (size_t run = 0; run < 5; ++run) {
        ASSERT_TRUE(Download("3.0"));
        ASSERT_TRUE(m_observer->WaitForWindow(run, 10000));
        ASSERT_TRUE(m_observer->WaitForAllThreads(10000)) << "run " << run;
        EXPECT_FALSE(IsWindow(m_observer->Window(run).dialog));
        ExpectSoundHandOver(m_observer->Window(run));
    }
}

TEST_F(ProgressWindowTest, CloseRequestedBeforeTheWindowIsReadyKeepsItFromAppearing) {
    ServePackage("3.0", StandardPackage());
    const HANDLE downloadDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CScopedHandle owner(downloadDone);
    m_observer->HoldInitialisation(downloadDone);
    ASSERT_TRUE(Download("3.0"));
    SetEvent(downloadDone);

    ASSERT_TRUE(m_observer->WaitForWindow(0, 10000));
    ASSERT_TRUE(m_observer->WaitForAllThreads(10000));
    const CObservedWindow window = m_observer->Window(0);
    EXPECT_FALSE(window.shown);
    EXPECT_TRUE(window.destroyed);
    EXPECT_TRUE(window.positions.empty());
    EXPECT_EQ(0, window.closes);
    EXPECT_EQ(nullptr, g_updater.m_hProgressWindow);
}

// Many downloads in a row, each checked for a lost close (its window's thread must end by itself),
// a stray or early message, and a hang.
class HandOverHammerTest : public DownloadTest {
protected:
    void RunAndCheck(size_t runs, const std::function<void(size_t run)>& beforeRun = nullptr,
                     const std::function<void(const CObservedWindow&)>& checkWindow = nullptr) {
        for (size_t run = 0; run < runs; ++run) {
            const size_t index = m_observer->WindowCount();
            if (beforeRun) {
                beforeRun(run);
            }
            ASSERT_TRUE(Download("4.0")) << "run " << run;
            if (m_downloadDone != nullptr) {
                SetEvent(m_downloadDone);
            }
            ASSERT_TRUE(m_observer->WaitForWindow(index, 10000)) << "run " << run;
            ASSERT_TRUE(m_observer->WaitForAllThreads(10000)) << "lost close or hang in run " << run;
            if (m_downloadDone != nullptr) {
                ResetEvent(m_downloadDone);
            }
            const CObservedWindow window = m_observer->Window(index);
            SCOPED_TRACE("run " + std::to_string(run));
            ExpectSoundHandOver(window);
            EXPECT_TRUE(window.destroyed);
            EXPECT_EQ(nullptr, g_updater.m_hProgressBar);
            EXPECT_EQ(nullptr, g_updater.m_hProgressWindow);
            if (checkWindow) {
                checkWindow(window);
            }
        }
        EXPECT_EQ(StandardPackageTree(), WorkingTree());
    }

    HANDLE m_downloadDone = nullptr;
    std::mt19937 m_random{20261208};
};

TEST_F(HandOverHammerTest, InstantServer) {
    ServePackage("4.0", StandardPackage());
    RunAndCheck(40);
}

TEST_F(HandOverHammerTest, ServerStallingBeforeTheFirstByte) {
    ServePackage("4.0", StandardPackage(), "\"pause\": 0.3");
    RunAndCheck(10, nullptr, [](const CObservedWindow& window) {
        EXPECT_TRUE(window.shown);
        EXPECT_EQ(1, window.closes);
        ASSERT_FALSE(window.positions.empty());
        EXPECT_EQ(100u, window.positions.back());
    });
}

TEST_F(HandOverHammerTest, ServerStallingBeforeTheAnswer) {
    ServePackage("4.0", StandardPackage(), "\"delay\": 0.3");
    RunAndCheck(10);
}

TEST_F(HandOverHammerTest, WindowThreadDelayedBeforeItInitialises) {
    ServePackage("4.0", StandardPackage());
    std::uniform_int_distribution<int> delay(0, 60);
    RunAndCheck(40, [&](size_t) { m_observer->DelayInitialisation(static_cast<DWORD>(delay(m_random))); });
}

TEST_F(HandOverHammerTest, WindowThreadHeldUntilTheDownloadHasEnded) {
    ServePackage("4.0", StandardPackage());
    m_downloadDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CScopedHandle owner(m_downloadDone);
    m_observer->HoldInitialisation(m_downloadDone);
    RunAndCheck(10, nullptr, [](const CObservedWindow& window) { EXPECT_FALSE(window.shown); });
    m_observer->HoldInitialisation(nullptr);
    m_downloadDone = nullptr;
}

TEST_F(HandOverHammerTest, UserClosingAtAnyMoment) {
    ServePackage("4.0", StandardPackage(32 * 1024), "\"rate\": 200000");
    std::uniform_int_distribution<int> moment(0, 250);
    for (size_t run = 0; run < 12; ++run) {
        const size_t index = m_observer->WindowCount();
        CBackgroundDownload download([this] { return Download("4.0"); });
        ASSERT_TRUE(m_observer->WaitForWindow(index, 10000));
        Sleep(static_cast<DWORD>(moment(m_random)));
        PostMessageA(m_observer->Window(index).dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        ASSERT_TRUE(download.Join()) << "run " << run;
        ASSERT_TRUE(m_observer->WaitForAllThreads(10000)) << "run " << run;
        SCOPED_TRACE("run " + std::to_string(run));
        ExpectSoundHandOver(m_observer->Window(index));
        EXPECT_EQ(nullptr, g_updater.m_hProgressWindow);
    }
}

}  // namespace
