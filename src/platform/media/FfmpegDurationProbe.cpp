#include "platform/media/FfmpegDurationProbe.h"

#include "platform/files/FileNames.h"
#include "platform/media/Ffmpeg.h"

#include <QFile>

extern "C" {
#include <libavformat/avformat.h>
}

#include <memory>

namespace harkwell {

AudioDurationProbe& AudioDurationProbe::system()
{
    static FfmpegDurationProbe probe;
    return probe;
}

std::optional<double> FfmpegDurationProbe::duration(const QString& path)
{
    quietFfmpeg();
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, FileNames::native(path).constData(), nullptr, nullptr) != 0)
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
