// Keypad handling: per-button history registers, the choice of the active
// handset, dispatch to the key handlers, and the centre key's click logic.
#include "RecordAccess.h"
#include "TavroCore.h"

namespace {

// Button lines in the button word; bits 13 to 15 carry the handset number.
constexpr int kButtonLines = 13;
// The handler-less lines 10 and 11 keep no history.
bool KeepsHistory(int line) { return line != 10 && line != 11; }

// Low two bits of a history register.
constexpr unsigned kFreshPress = 1;
constexpr unsigned kRelease = 2;

}  // namespace

int CTavroCore::HandleButtonEvent(unsigned int state, ButtonIndex index) {
    CurrentButton = index;
    CurrentButtonState = state;
    switch (index) {
        case NorthEast: HandleNorthEastEvents(); break;
        case North: HandleNorthEvents(); break;
        case NorthWest: HandleNorthWestEvents(); break;
        case East: HandleEastEvents(); break;
        case Center: HandleCenterEvents(); break;
        case West: HandleWestEvents(); break;
        case SouthEast: HandleSouthEastEvents(); break;
        case South: HandleSouthEvents(); break;
        case SouthWest: HandleSouthWestEvents(); break;
        case Menu: HandleMenuEvents(); break;
        default: break;  // lines without a handler only record index and state
    }
    return 0;
}

void CTavroCore::UpdateAndDispatchButtons(unsigned int buttonWord, int user) {
    SharedDeviceState* r = SharedData;
    if (r == nullptr || user < 0 || user >= TAVRO_HANDSETS) return;

    // The word is active-low: a 0 bit is a held button.
    for (int k = 0; k < kButtonLines; ++k) ButtonDown[k] = ((buttonWord >> k) & 1u) == 0 ? 1 : 0;

    unsigned int* history = ButtonHistory[user];
    for (int k = 0; k < kButtonLines; ++k) {
        if (!KeepsHistory(k)) continue;
        history[k] <<= 1;
        if (ButtonDown[k]) history[k] |= 1u;
    }

    // A fresh press of the centre key is the one way to become the active
    // handset; the pointer moves of every handset read CurrentUser meanwhile.
    if ((history[Center] & 3u) == kFreshPress) tavro::StoreField(r->CurrentUser, user);

    const unsigned taken = KeysTaken != nullptr ? KeysTaken(this, user, buttonWord) : 0;
    if (tavro::LoadField(r->CurrentUser) != user) return;
    for (int k = 0; k < kButtonLines; ++k)
        HandleButtonEvent(((taken >> k) & 1u) != 0 ? 0u : history[k], static_cast<ButtonIndex>(k));
}

int CTavroCore::HandleCenterEvents() {
    SharedDeviceState* r = SharedData;
    if (r == nullptr) return 0;

    // Press and release each press or release the primary button and freeze
    // the pointer for ClickStill / 2 packets, counting this one, so that the
    // click lands where it was aimed.
    unsigned s = CurrentButtonState & 3u;
    auto freeze = [r] {
        tavro::StoreField(r->MoveEnabled, 0);
        tavro::StoreField(r->ClickStillCounter, tavro::LoadField(r->ClickStill) / 2);
    };
    if (s == kFreshPress && tavro::LoadField(r->MouseClick) != 0) {
        freeze();
        MouseEventLeftDown();
        s = CurrentButtonState & 3u;
    }
    if (s == kRelease && tavro::LoadField(r->MouseClick) != 0) {
        freeze();
        MouseEventLeftUp();
    }
    if (tavro::LoadField(r->MoveEnabled) == 0) {
        // Saturate rather than wrap if the counter in the record is garbage.
        int32_t counter = tavro::LoadField(r->ClickStillCounter);
        if (counter > INT32_MIN) tavro::StoreField(r->ClickStillCounter, --counter);
        if (counter <= 0) tavro::StoreField(r->MoveEnabled, 1);
    }
    return 0;
}
