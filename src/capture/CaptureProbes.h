#pragma once
// What capture looks at the world through: the file system, the audio-duration probe and the
// clock. The application uses the system's; tests put fakes in their place.

#include "platform/clock/Clock.h"
#include "platform/filesystem/FileSystem.h"
#include "platform/media/AudioDurationProbe.h"

namespace harkwell {

struct CaptureProbes {
    FileSystem& files;
    AudioDurationProbe& durations;
    Clock& clock;

    static CaptureProbes system() { return {FileSystem::local(), AudioDurationProbe::system(), Clock::system()}; }
};

}  // namespace harkwell
