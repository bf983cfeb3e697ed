#pragma once
// Brings float audio of one rate and channel count to another, with FFmpeg's resampler at high
// quality; one channel is spread over two (and more folded into two) by its default mix.

#include <QString>

#include <expected>
#include <memory>
#include <vector>

namespace harkwell {

class AudioResampling;

class AudioResampler {
public:
    ~AudioResampler();
    AudioResampler(const AudioResampler&) = delete;
    AudioResampler& operator=(const AudioResampler&) = delete;

    static std::expected<std::unique_ptr<AudioResampler>, QString> create(double fromRate, int fromChannels,
                                                                          double toRate, int toChannels);

    // Converts `frames` frames (one buffer per input channel) and appends what comes out to `out`
    // (one vector per output channel). frames 0 with null input flushes what the filter holds.
    std::expected<void, QString> convert(const float* const* in, qint64 frames, std::vector<std::vector<float>>& out);

private:
    explicit AudioResampler(std::unique_ptr<AudioResampling> resampling);

    std::unique_ptr<AudioResampling> m_resampling;
};

}  // namespace harkwell
