// A platform object for core tests: the record in ordinary memory, no X, no
// tty.  It records what the core asks of the platform (moves, waits, clicks,
// handler calls), so tests check the core's decisions without a display.
#ifndef TAVRO_TEST_FAKE_PLATFORM_H
#define TAVRO_TEST_FAKE_PLATFORM_H

#include "NullPlatform.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavro::test {

class FakePlatform : public NullPlatform {
public:
    struct Move { double x, y; int user; };
    std::vector<Move> moves;                          // MoveScreenCursor, unclamped position
    std::vector<std::pair<int, int>> relativeMoves;   // border steps
    std::vector<int> sleeps;
    std::vector<std::string> clicks;                  // "down" / "up"
    std::vector<std::pair<int, unsigned>> handlerCalls;  // (button, CurrentButtonState)
    uint8_t borders[4] = {};                          // left, right, top, bottom to raise
    std::function<void()> onSleep;                    // runs after each recorded wait

    size_t MoveCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return moves.size();
    }
    void Buttons(unsigned word, int user) { UpdateAndDispatchButtons(word, user); }

    int CalculateScreenBorders(double*, double*, int u) override {
        SharedData->BorderLeft[u] = borders[0], SharedData->BorderRight[u] = borders[1];
        SharedData->BorderTop[u] = borders[2], SharedData->BorderBottom[u] = borders[3];
        return 0;
    }
    int MoveScreenCursor(double, double, double ux, double uy, int user) override {
        std::lock_guard<std::mutex> lock(mutex_);
        moves.push_back({ux, uy, user});
        return 0;
    }
    int MoveScreenCursorRelative(int dx, int dy) override {
        std::lock_guard<std::mutex> lock(mutex_);
        relativeMoves.push_back({dx, dy});
        return 0;
    }
    int TV_Sleep(int microseconds) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            sleeps.push_back(microseconds);
        }
        if (onSleep) onSleep();
        return 0;
    }
    int MouseEventLeftDown() override { return clicks.push_back("down"), 0; }
    int MouseEventLeftUp() override { return clicks.push_back("up"), 0; }
    int HandleCenterEvents() override {
        Handler(Center);
        return CTavroCore::HandleCenterEvents();
    }
    int HandleNorthEastEvents() override { return Handler(NorthEast); }
    int HandleNorthEvents() override { return Handler(North); }
    int HandleNorthWestEvents() override { return Handler(NorthWest); }
    int HandleEastEvents() override { return Handler(East); }
    int HandleWestEvents() override { return Handler(West); }
    int HandleSouthEastEvents() override { return Handler(SouthEast); }
    int HandleSouthEvents() override { return Handler(South); }
    int HandleSouthWestEvents() override { return Handler(SouthWest); }
    int HandleMenuEvents() override { return Handler(Menu); }

private:
    int Handler(ButtonIndex b) { return handlerCalls.push_back({b, CurrentButtonState}), 0; }
    std::mutex mutex_;
};

// A 14-byte tracking payload: button word (handset in bits 13-14), then spot
// A and spot B as big-endian (x, y, power).
inline std::vector<unsigned char> Tracking(int user, unsigned buttons, unsigned ax, unsigned ay,
                                           unsigned ap, unsigned bx, unsigned by, unsigned bp) {
    const unsigned words[] = {(buttons & ~0x6000u) | (unsigned(user & 3) << 13), ax, ay, ap,
                              bx, by, bp};
    std::vector<unsigned char> payload;
    for (unsigned w : words) payload.insert(payload.end(), {uint8_t(w >> 8), uint8_t(w)});
    return payload;
}

}  // namespace tavro::test

#endif
