#include "platform/media/ffmpeg/FfmpegResampling.h"

#include "platform/media/ffmpeg/Ffmpeg.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <cmath>

namespace harkwell {

FfmpegResampling::FfmpegResampling(SwrContext* context, int toChannels)
    : m_context(context)
    , m_toChannels(toChannels)
{
}

FfmpegResampling::~FfmpegResampling() { swr_free(&m_context); }

std::expected<std::unique_ptr<AudioResampling>, QString> FfmpegResampling::create(double fromRate, int fromChannels,
                                                                                  double toRate, int toChannels)
{
    if (fromRate < 1 || toRate < 1 || fromChannels < 1 || toChannels < 1)
        return std::unexpected(QStringLiteral("no rate or no channels"));
    AVChannelLayout from;
    AVChannelLayout to;
    av_channel_layout_default(&from, fromChannels);
    av_channel_layout_default(&to, toChannels);
    SwrContext* context = nullptr;
    int status = swr_alloc_set_opts2(&context, &to, AV_SAMPLE_FMT_FLTP, int(std::lround(toRate)), &from,
                                     AV_SAMPLE_FMT_FLTP, int(std::lround(fromRate)), 0, nullptr);
    av_channel_layout_uninit(&from);
    av_channel_layout_uninit(&to);
    if (status < 0 || !context) {
        swr_free(&context);
        return std::unexpected(ffmpegError(status < 0 ? status : AVERROR(ENOMEM)));
    }
    // High quality: a longer filter than the default.
    av_opt_set_int(context, "filter_size", 64, 0);
    av_opt_set_int(context, "phase_shift", 12, 0);
    if ((status = swr_init(context)) < 0) {
        swr_free(&context);
        return std::unexpected(ffmpegError(status));
    }
    return std::unique_ptr<AudioResampling>(new FfmpegResampling(context, toChannels));
}

std::expected<void, QString> FfmpegResampling::convert(const float* const* in, qint64 frames,
                                                       std::vector<std::vector<float>>& out)
{
    const int capacity = swr_get_out_samples(m_context, int(frames));
    if (capacity < 0)
        return std::unexpected(ffmpegError(capacity));
    out.resize(size_t(m_toChannels));
    std::vector<uint8_t*> targets(static_cast<size_t>(m_toChannels));
    std::vector<size_t> starts(static_cast<size_t>(m_toChannels));
    for (int ch = 0; ch < m_toChannels; ++ch) {
        starts[size_t(ch)] = out[size_t(ch)].size();
        out[size_t(ch)].resize(starts[size_t(ch)] + size_t(capacity));
        targets[size_t(ch)] = reinterpret_cast<uint8_t*>(out[size_t(ch)].data() + starts[size_t(ch)]);
    }
    const int produced = swr_convert(m_context, targets.data(), capacity,
                                     reinterpret_cast<const uint8_t**>(const_cast<const float**>(in)), int(frames));
    if (produced < 0) {
        for (int ch = 0; ch < m_toChannels; ++ch)
            out[size_t(ch)].resize(starts[size_t(ch)]);
        return std::unexpected(ffmpegError(produced));
    }
    for (int ch = 0; ch < m_toChannels; ++ch)
        out[size_t(ch)].resize(starts[size_t(ch)] + size_t(produced));
    return {};
}

}  // namespace harkwell
