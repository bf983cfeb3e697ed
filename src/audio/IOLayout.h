#pragma once

#include <cstdint>

namespace harkwell {

// One input channel chosen for the recording: which buffer of the callback's list, which channel
// in it, and how many channels that buffer had when the layout was resolved.
struct ChannelPick {
    static constexpr int64_t kNone = -1;

    int64_t buffer = kNone;
    int64_t channel = 0;
    int64_t bufferChannels = 0;

    bool isNone() const { return buffer == kNone; }
    friend bool operator==(const ChannelPick&, const ChannelPick&) = default;
};

// Where the microphone and the system audio sit in the callback's buffer list. Copied by value
// into the IO callback when it is made, so every decision there is an integer comparison.
struct IOLayout {
    ChannelPick micA;
    ChannelPick micB;
    ChannelPick tapL;
    ChannelPick tapR;
    // True when the microphone is off: frames then carry the system's left and right.
    bool stereoSystem = false;
    int64_t bufferCount = 0;
    // Each callback checks that the buffer list still has the shape resolved here.
    bool strict = true;

    friend bool operator==(const IOLayout&, const IOLayout&) = default;
};

}  // namespace harkwell
