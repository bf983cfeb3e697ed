#pragma once
// AudioResampling with FFmpeg's resampler at high quality; one channel is spread over two (and
// more folded into two) by its default mix.

#include "platform/media/MediaCodecs.h"

struct SwrContext;

namespace harkwell {

class FfmpegResampling final : public AudioResampling {
public:
    ~FfmpegResampling() override;
    FfmpegResampling(const FfmpegResampling&) = delete;
    FfmpegResampling& operator=(const FfmpegResampling&) = delete;

    static std::expected<std::unique_ptr<AudioResampling>, QString> create(double fromRate, int fromChannels,
                                                                           double toRate, int toChannels);

    std::expected<void, QString> convert(const float* const* in, qint64 frames,
                                         std::vector<std::vector<float>>& out) override;

private:
    FfmpegResampling(SwrContext* context, int toChannels);

    SwrContext* m_context;
    int m_toChannels;
};

}  // namespace harkwell
