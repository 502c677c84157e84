// What the uinput output keeps and logs of key symbols the keymap cannot
// type, when a client sends many of them.
#include "UinputOutput.h"

#include <gtest/gtest.h>

namespace {

using tavro::UntypeableKeys;

struct Flood {
    UntypeableKeys keys;
    UntypeableKeys::Clock::time_point now{};
    std::vector<std::string> lines;
    void Send(unsigned long first, unsigned long count) {
        for (unsigned long symbol = first; symbol < first + count; ++symbol) {
            std::string line = keys.Note(symbol, "us", now);
            if (!line.empty()) lines.push_back(line);
        }
    }
};

TEST(UntypeableKeys, ManyDistinctSymbolsKeepBoundedMemoryAndFewLines) {
    Flood flood;
    flood.Send(0x1000000, 200000);
    EXPECT_EQ(flood.keys.Remembered(), UntypeableKeys::kRemembered);
    EXPECT_EQ(flood.lines, std::vector<std::string>{
                               "The keyboard map (us) cannot type the key symbol 0x1000000: not sent"});
    // The next line, once the interval has passed, counts what went unnamed.
    flood.now += UntypeableKeys::kInterval;
    flood.Send(0x2000000, 1);
    ASSERT_EQ(flood.lines.size(), 2u);
    EXPECT_EQ(flood.lines[1], "The keyboard map (us) cannot type the key symbol 0x2000000: not sent; "
                              "nor 199999 other symbols since the last such line");
}

TEST(UntypeableKeys, ARepeatedSymbolIsLoggedOnce) {
    Flood flood;
    for (int round = 0; round < 3; ++round) {
        flood.Send(0x100263A, 1);
        flood.now += UntypeableKeys::kInterval;
    }
    EXPECT_EQ(flood.lines.size(), 1u);
}

}  // namespace
