#pragma once
// MediaCodecs through FFmpeg: the object the module hands to the application.

#include "platform/media/MediaCodecs.h"

namespace harkwell {

class FfmpegCodecs final : public MediaCodecs {
public:
    std::expected<std::unique_ptr<AacEncoding>, QString> createAacEncoding(const QString& path, int sampleRate,
                                                                           int channels, int bitRate) override;
    std::expected<std::unique_ptr<AudioDecoding>, QString> openAudioDecoding(const QString& path) override;
    std::expected<std::unique_ptr<AudioResampling>, QString> createResampling(double fromRate, int fromChannels,
                                                                              double toRate, int toChannels) override;
    // The container's duration, else its longest audio stream's.
    std::optional<double> duration(const QByteArray& nativePath) override;
};

}  // namespace harkwell
