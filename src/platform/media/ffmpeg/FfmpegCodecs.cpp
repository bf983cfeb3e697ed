#include "platform/media/ffmpeg/FfmpegCodecs.h"

#include "platform/media/ffmpeg/Ffmpeg.h"
#include "platform/media/ffmpeg/FfmpegAacEncoding.h"
#include "platform/media/ffmpeg/FfmpegAudioDecoding.h"
#include "platform/media/ffmpeg/FfmpegResampling.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <memory>

extern "C" __attribute__((visibility("default"))) harkwell::MediaCodecs* harkwell_media_codecs()
{
    static harkwell::FfmpegCodecs codecs;
    return &codecs;
}

namespace harkwell {

std::expected<std::unique_ptr<AacEncoding>, QString> FfmpegCodecs::createAacEncoding(const QString& path,
                                                                                     int sampleRate, int channels,
                                                                                     int bitRate)
{
    return FfmpegAacEncoding::create(path, sampleRate, channels, bitRate);
}

std::expected<std::unique_ptr<AudioDecoding>, QString> FfmpegCodecs::openAudioDecoding(const QString& path)
{
    return FfmpegAudioDecoding::open(path);
}

std::expected<std::unique_ptr<AudioResampling>, QString> FfmpegCodecs::createResampling(double fromRate,
                                                                                        int fromChannels,
                                                                                        double toRate, int toChannels)
{
    return FfmpegResampling::create(fromRate, fromChannels, toRate, toChannels);
}

std::optional<double> FfmpegCodecs::duration(const QByteArray& nativePath)
{
    quietFfmpeg();
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, nativePath.constData(), nullptr, nullptr) != 0)
        return std::nullopt;
    const std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> context(&opened, avformat_close_input);
    if (avformat_find_stream_info(opened, nullptr) < 0)
        return std::nullopt;

    bool hasAudio = false;
    double longest = -1;
    for (unsigned i = 0; i < opened->nb_streams; ++i) {
        const AVStream* stream = opened->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        hasAudio = true;
        if (stream->duration != AV_NOPTS_VALUE && stream->duration >= 0)
            longest = std::max(longest, double(stream->duration) * av_q2d(stream->time_base));
    }
    if (!hasAudio)
        return std::nullopt;
    if (opened->duration != AV_NOPTS_VALUE && opened->duration >= 0)
        return double(opened->duration) / AV_TIME_BASE;
    if (longest >= 0)
        return longest;
    return std::nullopt;
}

}  // namespace harkwell
