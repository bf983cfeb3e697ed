#include "platform/media/ffmpeg/FfmpegAacEncoding.h"

#include "platform/media/ffmpeg/Ffmpeg.h"

#include <QFile>

#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace harkwell {

struct FfmpegAacEncoding::Context {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    AVAudioFifo* fifo = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    int64_t nextPts = 0;
    bool headerWritten = false;
    bool closed = false;

    ~Context()
    {
        av_packet_free(&packet);
        av_frame_free(&frame);
        if (fifo)
            av_audio_fifo_free(fifo);
        avcodec_free_context(&codec);
        if (format) {
            if (format->pb)
                avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }
};

FfmpegAacEncoding::FfmpegAacEncoding(std::unique_ptr<Context> context) : m_context(std::move(context)) {}

FfmpegAacEncoding::~FfmpegAacEncoding() { (void)close(); }

std::expected<std::unique_ptr<AacEncoding>, QString> FfmpegAacEncoding::create(const QString& path, int sampleRate,
                                                                               int channels, int bitRate)
{
    quietFfmpeg();
    auto c = std::make_unique<Context>();
    const QByteArray file = QFile::encodeName(path);
    // The ipod muxer writes what an .m4a file is taken for: MP4 with the "M4A " brand.
    int status = avformat_alloc_output_context2(&c->format, nullptr, "ipod", file.constData());
    if (status < 0 || !c->format)
        return std::unexpected(ffmpegError(status < 0 ? status : AVERROR(ENOMEM)));
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!encoder)
        return std::unexpected(QStringLiteral("no AAC encoder in this FFmpeg"));
    c->stream = avformat_new_stream(c->format, nullptr);
    c->codec = avcodec_alloc_context3(encoder);
    if (!c->stream || !c->codec)
        return std::unexpected(ffmpegError(AVERROR(ENOMEM)));
    c->codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->codec->sample_rate = sampleRate;
    av_channel_layout_default(&c->codec->ch_layout, channels);
    c->codec->bit_rate = bitRate;
    c->codec->time_base = AVRational{1, sampleRate};
    if (c->format->oformat->flags & AVFMT_GLOBALHEADER)
        c->codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((status = avcodec_open2(c->codec, encoder, nullptr)) < 0)
        return std::unexpected(ffmpegError(status));
    if ((status = avcodec_parameters_from_context(c->stream->codecpar, c->codec)) < 0)
        return std::unexpected(ffmpegError(status));
    c->stream->time_base = c->codec->time_base;

    c->fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, c->codec->frame_size > 0 ? c->codec->frame_size : 1024);
    c->frame = av_frame_alloc();
    c->packet = av_packet_alloc();
    if (!c->fifo || !c->frame || !c->packet)
        return std::unexpected(ffmpegError(AVERROR(ENOMEM)));

    if ((status = avio_open(&c->format->pb, file.constData(), AVIO_FLAG_WRITE)) < 0)
        return std::unexpected(ffmpegError(status));
    if ((status = avformat_write_header(c->format, nullptr)) < 0)
        return std::unexpected(ffmpegError(status));
    c->headerWritten = true;
    return std::unique_ptr<AacEncoding>(new FfmpegAacEncoding(std::move(c)));
}

std::expected<void, QString> FfmpegAacEncoding::write(const float* const* channels, qint64 frames)
{
    Context& c = *m_context;
    if (c.closed)
        return std::unexpected(QStringLiteral("the file is already closed"));
    if (frames <= 0)
        return {};
    const int written = av_audio_fifo_write(c.fifo, reinterpret_cast<void**>(const_cast<float**>(channels)),
                                            int(frames));
    if (written < frames)
        return std::unexpected(ffmpegError(written < 0 ? written : AVERROR(ENOMEM)));
    return encode(false);
}

std::expected<void, QString> FfmpegAacEncoding::encode(bool flush)
{
    Context& c = *m_context;
    const int frameSize = c.codec->frame_size > 0 ? c.codec->frame_size : 1024;
    while (av_audio_fifo_size(c.fifo) >= frameSize || (flush && av_audio_fifo_size(c.fifo) > 0)) {
        const int count = std::min(av_audio_fifo_size(c.fifo), frameSize);
        av_frame_unref(c.frame);
        c.frame->nb_samples = count;
        c.frame->format = AV_SAMPLE_FMT_FLTP;
        c.frame->sample_rate = c.codec->sample_rate;
        if (int status = av_channel_layout_copy(&c.frame->ch_layout, &c.codec->ch_layout); status < 0)
            return std::unexpected(ffmpegError(status));
        if (int status = av_frame_get_buffer(c.frame, 0); status < 0)
            return std::unexpected(ffmpegError(status));
        if (av_audio_fifo_read(c.fifo, reinterpret_cast<void**>(c.frame->data), count) < count)
            return std::unexpected(QStringLiteral("the sample queue gave less than it held"));
        c.frame->pts = c.nextPts;
        c.nextPts += count;
        if (int status = avcodec_send_frame(c.codec, c.frame); status < 0)
            return std::unexpected(ffmpegError(status));
        if (auto drained = drainPackets(); !drained)
            return drained;
    }
    if (flush) {
        if (int status = avcodec_send_frame(c.codec, nullptr); status < 0)
            return std::unexpected(ffmpegError(status));
        return drainPackets();
    }
    return {};
}

std::expected<void, QString> FfmpegAacEncoding::drainPackets()
{
    Context& c = *m_context;
    for (;;) {
        const int status = avcodec_receive_packet(c.codec, c.packet);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
            return {};
        if (status < 0)
            return std::unexpected(ffmpegError(status));
        av_packet_rescale_ts(c.packet, c.codec->time_base, c.stream->time_base);
        c.packet->stream_index = c.stream->index;
        const int written = av_interleaved_write_frame(c.format, c.packet);
        av_packet_unref(c.packet);
        if (written < 0)
            return std::unexpected(ffmpegError(written));
    }
}

std::expected<void, QString> FfmpegAacEncoding::close()
{
    Context& c = *m_context;
    if (c.closed)
        return {};
    c.closed = true;
    auto encoded = encode(true);
    if (c.headerWritten) {
        const int trailer = av_write_trailer(c.format);
        if (encoded && trailer < 0)
            encoded = std::unexpected(ffmpegError(trailer));
    }
    if (c.format->pb) {
        avio_flush(c.format->pb);
        const int error = c.format->pb->error;
        if (encoded && error < 0)
            encoded = std::unexpected(ffmpegError(error));
        avio_closep(&c.format->pb);
    }
    return encoded;
}

}  // namespace harkwell
