#include "audio/SegmentFile.h"

#include <QFile>

#include <sndfile.h>

#include <cmath>

namespace harkwell {

SegmentFile::SegmentFile(const QString& path, SNDFILE* handle)
    : m_path(path)
    , m_handle(handle)
{
}

SegmentFile::SegmentFile(const QString& path)
    : m_path(path)
{
}

SegmentFile::~SegmentFile()
{
    if (m_handle)
        sf_close(m_handle);
}

std::expected<std::unique_ptr<SegmentFile>, QString> SegmentFile::create(const QString& path, double sampleRate)
{
    SF_INFO info {};
    info.samplerate = static_cast<int>(std::lround(sampleRate));
    info.channels = kChannels;
    info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT | SF_ENDIAN_LITTLE;
    if (info.samplerate <= 0 || !sf_format_check(&info))
        return std::unexpected(QStringLiteral("unsupported sample rate %1 Hz").arg(sampleRate, 0, 'f', 0));

    SNDFILE* handle = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!handle)
        return std::unexpected(QString::fromLocal8Bit(sf_strerror(nullptr)));
    // Without this the frame count in the header stays 0 until close, and a crash loses the segment.
    sf_command(handle, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return std::unique_ptr<SegmentFile>(new SegmentFile(path, handle));
}

std::expected<void, QString> SegmentFile::write(const float* interleaved, qint64 frames)
{
    const sf_count_t written = sf_writef_float(m_handle, interleaved, frames);
    if (written == frames)
        return {};
    const int code = sf_error(m_handle);
    QString reason = code != SF_ERR_NO_ERROR ? QString::fromLocal8Bit(sf_strerror(m_handle))
                                             : QStringLiteral("only %1 of %2 frames were written").arg(written).arg(frames);
    return std::unexpected(reason);
}

}  // namespace harkwell
