#include "platform/media/AudioResampler.h"

#include "platform/media/MediaCodecs.h"

namespace harkwell {

AudioResampler::AudioResampler(std::unique_ptr<AudioResampling> resampling) : m_resampling(std::move(resampling)) {}

AudioResampler::~AudioResampler() = default;

std::expected<std::unique_ptr<AudioResampler>, QString> AudioResampler::create(double fromRate, int fromChannels,
                                                                               double toRate, int toChannels)
{
    const auto codecs = MediaCodecs::load();
    if (!codecs)
        return std::unexpected(codecs.error());
    auto resampling = (*codecs)->createResampling(fromRate, fromChannels, toRate, toChannels);
    if (!resampling)
        return std::unexpected(std::move(resampling.error()));
    return std::unique_ptr<AudioResampler>(new AudioResampler(std::move(*resampling)));
}

std::expected<void, QString> AudioResampler::convert(const float* const* in, qint64 frames,
                                                     std::vector<std::vector<float>>& out)
{
    return m_resampling->convert(in, frames, out);
}

}  // namespace harkwell
