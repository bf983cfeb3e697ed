#include "platform/media/ffmpeg/FfmpegAudioDecoding.h"

#include "platform/media/ffmpeg/Ffmpeg.h"

#include <QFile>

#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <algorithm>

namespace harkwell {

namespace {

// One sample of any packed or planar layout as a float.
float sampleAt(const AVFrame& frame, AVSampleFormat format, int channel, int index, int channels)
{
    const bool planar = av_sample_fmt_is_planar(format);
    const uint8_t* base = planar ? frame.extended_data[channel] : frame.extended_data[0];
    const int at = planar ? index : index * channels + channel;
    switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
        return (float(base[at]) - 128.0f) / 128.0f;
    case AV_SAMPLE_FMT_S16:
        return float(reinterpret_cast<const int16_t*>(base)[at]) / 32768.0f;
    case AV_SAMPLE_FMT_S32:
        return float(double(reinterpret_cast<const int32_t*>(base)[at]) / 2147483648.0);
    case AV_SAMPLE_FMT_S64:
        return float(double(reinterpret_cast<const int64_t*>(base)[at]) / 9223372036854775808.0);
    case AV_SAMPLE_FMT_FLT:
        return reinterpret_cast<const float*>(base)[at];
    case AV_SAMPLE_FMT_DBL:
        return float(reinterpret_cast<const double*>(base)[at]);
    default:
        return 0;
    }
}


}  // namespace

struct FfmpegAudioDecoding::Context {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int stream = -1;
    bool drained = false;  // the decoder was told the input ended

    ~Context()
    {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }
};

FfmpegAudioDecoding::FfmpegAudioDecoding(std::unique_ptr<Context> context) : m_context(std::move(context)) {}

FfmpegAudioDecoding::~FfmpegAudioDecoding() = default;

std::expected<std::unique_ptr<AudioDecoding>, QString> FfmpegAudioDecoding::open(const QString& path)
{
    quietFfmpeg();
    auto context = std::make_unique<Context>();
    if (const int status = avformat_open_input(&context->format, QFile::encodeName(path).constData(), nullptr, nullptr);
        status < 0)
        return std::unexpected(ffmpegError(status));
    if (const int status = avformat_find_stream_info(context->format, nullptr); status < 0)
        return std::unexpected(ffmpegError(status));
    const AVCodec* decoder = nullptr;
    context->stream = av_find_best_stream(context->format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (context->stream < 0 || !decoder)
        return std::unexpected(QStringLiteral("no audio stream"));
    const AVStream* stream = context->format->streams[context->stream];
    context->codec = avcodec_alloc_context3(decoder);
    if (!context->codec)
        return std::unexpected(ffmpegError(AVERROR(ENOMEM)));
    if (const int status = avcodec_parameters_to_context(context->codec, stream->codecpar); status < 0)
        return std::unexpected(ffmpegError(status));
    if (const int status = avcodec_open2(context->codec, decoder, nullptr); status < 0)
        return std::unexpected(ffmpegError(status));
    context->packet = av_packet_alloc();
    context->frame = av_frame_alloc();
    if (!context->packet || !context->frame)
        return std::unexpected(ffmpegError(AVERROR(ENOMEM)));

    const int channels = context->codec->ch_layout.nb_channels;
    const int rate = context->codec->sample_rate;
    if (channels < 1 || rate < 1)
        return std::unexpected(QStringLiteral("the audio stream has no channels or no sample rate"));

    std::unique_ptr<FfmpegAudioDecoding> reader(new FfmpegAudioDecoding(std::move(context)));
    reader->m_sampleRate = rate;
    reader->m_channels = channels;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        reader->m_length = av_rescale_q(stream->duration, stream->time_base, AVRational{1, rate});
    else if (reader->m_context->format->duration != AV_NOPTS_VALUE && reader->m_context->format->duration > 0)
        reader->m_length = av_rescale(reader->m_context->format->duration, rate, AV_TIME_BASE);
    reader->m_pending.resize(size_t(channels));
    return reader;
}

std::expected<bool, QString> FfmpegAudioDecoding::decodeMore()
{
    Context& c = *m_context;
    for (;;) {
        const int received = avcodec_receive_frame(c.codec, c.frame);
        if (received == 0) {
            const int channels = m_channels;
            const auto format = AVSampleFormat(c.frame->format);
            for (int ch = 0; ch < channels; ++ch) {
                std::vector<float>& pending = m_pending[size_t(ch)];
                pending.erase(pending.begin(), pending.begin() + m_pendingStart);
                pending.reserve(pending.size() + size_t(c.frame->nb_samples));
                for (int i = 0; i < c.frame->nb_samples; ++i)
                    pending.push_back(sampleAt(*c.frame, format, ch, i, channels));
            }
            m_pendingStart = 0;
            av_frame_unref(c.frame);
            return true;
        }
        if (received == AVERROR_EOF)
            return false;
        if (received != AVERROR(EAGAIN))
            return std::unexpected(ffmpegError(received));

        // The decoder wants input.
        if (c.drained)
            return false;
        const int status = av_read_frame(c.format, c.packet);
        if (status == AVERROR_EOF) {
            c.drained = true;
            avcodec_send_packet(c.codec, nullptr);
            continue;
        }
        if (status < 0)
            return std::unexpected(ffmpegError(status));
        if (c.packet->stream_index == c.stream) {
            const int sent = avcodec_send_packet(c.codec, c.packet);
            av_packet_unref(c.packet);
            if (sent < 0 && sent != AVERROR(EAGAIN))
                return std::unexpected(ffmpegError(sent));
        } else {
            av_packet_unref(c.packet);
        }
    }
}

std::expected<qint64, QString> FfmpegAudioDecoding::read(float* const* channels, qint64 frames)
{
    if (m_failure && qint64(m_pending[0].size()) == m_pendingStart)
        return std::unexpected(*m_failure);
    qint64 done = 0;
    while (done < frames) {
        const qint64 available = qint64(m_pending[0].size()) - m_pendingStart;
        if (available > 0) {
            const qint64 take = std::min(available, frames - done);
            for (int ch = 0; ch < m_channels; ++ch)
                std::copy_n(m_pending[size_t(ch)].begin() + m_pendingStart, take, channels[ch] + done);
            m_pendingStart += take;
            done += take;
            continue;
        }
        if (m_ended || m_failure)
            break;
        const auto more = decodeMore();
        if (!more) {
            // The frames decoded before the failure go out now; the failure comes with the next call.
            m_failure = more.error();
            break;
        }
        if (!*more)
            m_ended = true;
    }
    if (done == 0 && m_failure)
        return std::unexpected(*m_failure);
    return done;
}

}  // namespace harkwell
