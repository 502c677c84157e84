// Scrolling through the X11 output, straight and through the output queue,
// as a client window on a real X server (Xvfb) receives it: wheel buttons
// 4 up, 5 down, 6 left, 7 right, one click per detent, in the order asked,
// between the other buttons.
// GoogleTest before Xlib, whose macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "QueuedOutput.h"
#include "TavroLinux.h"
#include "TestEnvironment.h"
#include "X11Output.h"
#include "XServer.h"

#include <X11/Xlib.h>

#include <climits>
#include <memory>
#include <utility>
#include <vector>

namespace {

using tavro::test::RecordedEvent;

// (event type, button) as the window recorded them.
using Clicks = std::vector<std::pair<int, unsigned>>;

Clicks Click(unsigned button, int times = 1) {
    Clicks out;
    for (int i = 0; i < times; ++i) {
        out.push_back({ButtonPress, button});
        out.push_back({ButtonRelease, button});
    }
    return out;
}
Clicks operator+(Clicks a, const Clicks& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Scrolling : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_X(xvfb);
        XInitThreads();
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr);
        window = std::make_unique<tavro::test::RecordingWindow>();
        auto x11 = std::make_shared<tavro::X11Output>();
        if (GetParam()) {
            queued = std::make_shared<tavro::QueuedOutput>(x11);
            ASSERT_TRUE(queued->Start());
            output = queued;
        } else {
            output = x11;
        }
    }
    void TearDown() override {
        if (queued) queued->Stop();
        output.reset();
        queued.reset();
        window.reset();
        if (display != nullptr) XCloseDisplay(display);
        display = nullptr;
    }
    Clicks Received(size_t count) {
        EXPECT_TRUE(window->waitForEvents(count, std::chrono::milliseconds(20000))) << window->events().size() << " of " << count;
        window->pump(std::chrono::milliseconds(100));  // nothing more comes
        Clicks out;
        for (const RecordedEvent& e : window->events()) out.push_back({e.type, e.detail});
        return out;
    }

    tavro::test::XvfbServer xvfb;
    std::unique_ptr<tavro::test::RecordingWindow> window;
    std::shared_ptr<tavro::QueuedOutput> queued;
    std::shared_ptr<tavro::Output> output;
};

TEST_P(Scrolling, SendsOneWheelClickPerDetentInOrder) {
    EXPECT_TRUE(output->Scroll(0, 2));
    EXPECT_TRUE(output->Scroll(0, -1));
    output->Button(tavro::PointerButton::Left, true);
    EXPECT_TRUE(output->Scroll(3, 0));
    output->Button(tavro::PointerButton::Left, false);
    EXPECT_TRUE(output->Scroll(-1, 1));  // down, then left
    EXPECT_TRUE(output->Scroll(0, 0));
    output->Flush();
    const Clicks expected = Click(5, 2) + Click(4) + Clicks{{ButtonPress, 1}} + Click(7, 3) +
                            Clicks{{ButtonRelease, 1}} + Click(5) + Click(6);
    EXPECT_EQ(Received(expected.size()), expected);
}

TEST_P(Scrolling, AWildCountIsCutToTheBound) {
    EXPECT_TRUE(output->Scroll(0, INT_MIN));
    output->Flush();
    EXPECT_EQ(Received(2 * tavro::kMaxScrollDetents), Click(4, tavro::kMaxScrollDetents));
}

INSTANTIATE_TEST_SUITE_P(Outputs, Scrolling, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Queued" : "X11"; });

}  // namespace
