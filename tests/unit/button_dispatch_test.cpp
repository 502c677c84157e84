// Button histories, the active handset, and the centre key's click with its
// pointer freeze.
#include "FakePlatform.h"

#include <gtest/gtest.h>

using tavro::test::FakePlatform;

namespace {

unsigned Held(std::initializer_list<int> lines) {  // the active-low button word
    unsigned word = 0xFFFF;
    for (int line : lines) word &= ~(1u << line);
    return word;
}

class HoldLength : public testing::TestWithParam<int> {};

TEST_P(HoldLength, HistoryShowsPressHoldAndRelease) {
    const int length = GetParam();
    FakePlatform core;
    for (int i = 0; i < length; ++i) core.Buttons(Held({North}), 0);
    core.Buttons(Held({}), 0);
    std::vector<unsigned> states;
    for (const auto& [button, state] : core.handlerCalls)
        if (button == North) states.push_back(state);
    ASSERT_EQ(states.size(), size_t(length) + 1);

    int tenOrMore = 0, exactlyTen = 0;
    for (int i = 0; i < length; ++i) {
        EXPECT_EQ(states[i] & 3u, i == 0 ? 1u : 3u) << "fresh press, then held";
        tenOrMore += (states[i] & 0x3FFu) == 0x3FFu;
        exactlyTen += (states[i] & 0x7FFu) == 0x3FFu;
    }
    EXPECT_EQ(tenOrMore, std::max(0, length - 9));
    EXPECT_EQ(exactlyTen, length >= 10 ? 1 : 0);
    EXPECT_EQ(states.back() & 3u, 2u) << "released";
    EXPECT_EQ((states.back() & 0x3FFu) == 0x3FEu, length >= 9) << "released after nine or more";
}

INSTANTIATE_TEST_SUITE_P(Packets, HoldLength, testing::Values(1, 8, 9, 10, 15, 40));

TEST(ActiveHandset, ChangesOnlyOnAFreshCentrePressWhichDispatchesAtOnce) {
    FakePlatform core;
    core.Buttons(Held({Center}), 0);  // handset 0 holds its centre key
    core.Buttons(Held({West}), 2);
    EXPECT_EQ(core.ButtonHistory[2][West], 1u);
    EXPECT_EQ(core.handlerCalls.size(), 10u) << "a passive handset dispatches nothing";
    core.handlerCalls.clear();

    core.Buttons(Held({Center, West, 10, 11}), 2);
    EXPECT_EQ(core.SharedData->CurrentUser, 2);
    ASSERT_EQ(core.handlerCalls.size(), 10u);
    EXPECT_EQ(core.handlerCalls[Center].second & 3u, 1u);
    EXPECT_EQ(core.handlerCalls[West].second & 3u, 3u) << "history from before the switch";
    EXPECT_EQ(core.ButtonHistory[2][10] | core.ButtonHistory[2][11], 0u) << "lines 10, 11 kept no history";

    core.Buttons(Held({Center}), 0);  // still held, not fresh
    EXPECT_EQ(core.SharedData->CurrentUser, 2);
}

struct FreezeCase {
    int clickStill;
    uint8_t mouseClick;
    std::vector<int> moveEnabled;  // after the press and each further held packet
};

class CentreFreeze : public testing::TestWithParam<FreezeCase> {};

TEST_P(CentreFreeze, ClicksAndHoldsThePointerForHalfClickStillPackets) {
    const FreezeCase& c = GetParam();
    FakePlatform core;
    core.SharedData->ClickStill = c.clickStill;
    core.SharedData->MouseClick = c.mouseClick;
    for (size_t i = 0; i < c.moveEnabled.size(); ++i) {
        core.Buttons(Held({Center}), 3);
        EXPECT_EQ(core.SharedData->MoveEnabled, c.moveEnabled[i]) << "packet " << i + 1;
    }
    EXPECT_EQ(core.SharedData->CurrentUser, 3);
    core.Buttons(Held({}), 3);  // the release freezes again, like the press
    EXPECT_EQ(core.SharedData->MoveEnabled, c.moveEnabled[0]);
    const std::vector<std::string> clicks{"down", "up"};
    EXPECT_EQ(core.clicks, c.mouseClick ? clicks : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(ClickStill, CentreFreeze,
                         testing::Values(FreezeCase{8, 1, {0, 0, 0, 1, 1}},
                                         FreezeCase{9, 1, {0, 0, 0, 1}},
                                         FreezeCase{1, 1, {1, 1}}, FreezeCase{0, 1, {1}},
                                         FreezeCase{-8, 1, {1}}, FreezeCase{8, 0, {1, 1}}));

}  // namespace
