#pragma once
// AudioDecoding with FFmpeg's demuxers and decoders: any format it knows, as 32-bit float at the
// file's own rate and channel count.

#include "platform/media/MediaCodecs.h"

namespace harkwell {

class FfmpegAudioDecoding final : public AudioDecoding {
public:
    ~FfmpegAudioDecoding() override;
    FfmpegAudioDecoding(const FfmpegAudioDecoding&) = delete;
    FfmpegAudioDecoding& operator=(const FfmpegAudioDecoding&) = delete;

    // The error is FFmpeg's reason, fit for a log line.
    static std::expected<std::unique_ptr<AudioDecoding>, QString> open(const QString& path);

    int sampleRate() const override { return m_sampleRate; }
    int channels() const override { return m_channels; }
    qint64 lengthFrames() const override { return m_length; }
    std::expected<qint64, QString> read(float* const* channels, qint64 frames) override;

private:
    struct Context;
    explicit FfmpegAudioDecoding(std::unique_ptr<Context> context);
    std::expected<bool, QString> decodeMore();

    std::unique_ptr<Context> m_context;
    int m_sampleRate = 0;
    int m_channels = 0;
    qint64 m_length = 0;
    std::vector<std::vector<float>> m_pending;  // decoded, not yet handed out; per channel
    qsizetype m_pendingStart = 0;
    bool m_ended = false;
    std::optional<QString> m_failure;
};

}  // namespace harkwell
