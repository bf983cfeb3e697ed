#pragma once
// AacEncoding with FFmpeg's AAC encoder at a fixed bit rate and its MP4 muxer (.m4a).

#include "platform/media/MediaCodecs.h"

namespace harkwell {

class FfmpegAacEncoding final : public AacEncoding {
public:
    ~FfmpegAacEncoding() override;  // closes without reporting
    FfmpegAacEncoding(const FfmpegAacEncoding&) = delete;
    FfmpegAacEncoding& operator=(const FfmpegAacEncoding&) = delete;

    // Creates (or replaces) the file; the error is FFmpeg's or the file system's reason.
    static std::expected<std::unique_ptr<AacEncoding>, QString> create(const QString& path, int sampleRate,
                                                                       int channels, int bitRate);

    std::expected<void, QString> write(const float* const* channels, qint64 frames) override;
    // Encodes what is held back and finishes the container; later calls do nothing.
    std::expected<void, QString> close() override;

private:
    struct Context;
    explicit FfmpegAacEncoding(std::unique_ptr<Context> context);
    std::expected<void, QString> encode(bool flush);
    std::expected<void, QString> drainPackets();

    std::unique_ptr<Context> m_context;
};

}  // namespace harkwell
