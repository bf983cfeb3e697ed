#pragma once
// How long an audio file plays, in seconds; nothing when the file cannot be read as audio.
// A call may block for as long as the file's storage takes to answer.

#include <QString>

#include <optional>

namespace harkwell {

class AudioDurationProbe {
public:
    virtual ~AudioDurationProbe() = default;
    virtual std::optional<double> duration(const QString& path) = 0;

    // FFmpeg's demuxers, in process.
    static AudioDurationProbe& system();
};

}  // namespace harkwell
