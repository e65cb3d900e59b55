// PlaceDialogTopmost on real windows under Wine: centred on the work area with the odd pixel to the
// right and bottom, shrunk and flush with the edge in a dimension in which it does not fit, topmost,
// shown and in the foreground.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "ui/dialog_placement.h"

namespace {

struct WindowDeleter {
    void operator()(HWND window) const { DestroyWindow(window); }
};
using ScopedWindow = std::unique_ptr<std::remove_pointer<HWND>::type, WindowDeleter>;

RECT WorkArea() {
    RECT area = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    return area;
}

// A hidden popup of the given outer size, as a dialog is before it places itself.
ScopedWindow MakeWindow(LONG width, LONG height) {
    return ScopedWindow(CreateWindowExA(0, "STATIC", "placement", WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0,
                                        width, height, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr));
}

RECT Placed(LONG width, LONG height, HWND* handle = nullptr) {
    static ScopedWindow s_window;  // kept until the next case, so that its state can be read
    s_window = MakeWindow(width, height);
    EXPECT_NE(s_window.get(), nullptr);
    PlaceDialogTopmost(s_window.get());
    RECT rect = {};
    GetWindowRect(s_window.get(), &rect);
    if (handle != nullptr) {
        *handle = s_window.get();
    }
    return rect;
}

TEST(DialogPlacementTest, CentresWithTheOddPixelToTheRightAndBottom) {
    const RECT area = WorkArea();
    const LONG width = area.right - area.left;
    const LONG height = area.bottom - area.top;
    // Sizes whose difference to the work area is even, then odd.
    for (LONG extra = 0; extra < 2; ++extra) {
        const LONG w = 301 + ((width - 301 + extra) % 2);
        const LONG h = 121 + ((height - 121 + extra) % 2);
        SCOPED_TRACE(testing::Message() << w << " x " << h);
        const RECT rect = Placed(w, h);
        EXPECT_EQ(rect.right - rect.left, w);
        EXPECT_EQ(rect.bottom - rect.top, h);
        const LONG leftGap = rect.left - area.left;
        const LONG rightGap = area.right - rect.right;
        const LONG topGap = rect.top - area.top;
        const LONG bottomGap = area.bottom - rect.bottom;
        EXPECT_EQ(rightGap - leftGap, (width - w) % 2);
        EXPECT_EQ(bottomGap - topGap, (height - h) % 2);
    }
}

TEST(DialogPlacementTest, WiderThanTheWorkAreaIsShrunkAndFlushLeft) {
    const RECT area = WorkArea();
    const LONG height = area.bottom - area.top;
    const RECT rect = Placed(area.right - area.left + 101, 150);
    EXPECT_EQ(rect.left, area.left);
    EXPECT_EQ(rect.right, area.right);
    EXPECT_EQ(rect.bottom - rect.top, 150);
    EXPECT_EQ(rect.top, area.top + (height - 150) / 2);
}

TEST(DialogPlacementTest, TallerThanTheWorkAreaIsShrunkAndFlushTop) {
    const RECT area = WorkArea();
    const LONG width = area.right - area.left;
    const RECT rect = Placed(250, area.bottom - area.top + 37);
    EXPECT_EQ(rect.top, area.top);
    EXPECT_EQ(rect.bottom, area.bottom);
    EXPECT_EQ(rect.right - rect.left, 250);
    EXPECT_EQ(rect.left, area.left + (width - 250) / 2);
}

TEST(DialogPlacementTest, LargerInBothTakesTheWholeWorkArea) {
    const RECT area = WorkArea();
    const RECT rect = Placed(area.right - area.left + 500, area.bottom - area.top + 500);
    EXPECT_TRUE(EqualRect(&rect, &area))
        << rect.left << "," << rect.top << "," << rect.right << "," << rect.bottom;
}

TEST(DialogPlacementTest, ExactlyTheWorkAreaStaysWhereItFits) {
    const RECT area = WorkArea();
    const RECT rect = Placed(area.right - area.left, area.bottom - area.top);
    EXPECT_TRUE(EqualRect(&rect, &area));
}

TEST(DialogPlacementTest, ShowsTheWindowTopmostInTheForeground) {
    HWND window = nullptr;
    Placed(300, 120, &window);
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_NE(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
    EXPECT_EQ(GetForegroundWindow(), window);
}

}  // namespace
