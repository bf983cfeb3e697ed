#include "platform/media/AacFileWriter.h"

#include "platform/media/MediaCodecs.h"

namespace harkwell {

AacFileWriter::AacFileWriter(QString path, std::unique_ptr<AacEncoding> encoding)
    : m_path(std::move(path))
    , m_encoding(std::move(encoding))
{
}

AacFileWriter::~AacFileWriter() = default;  // the encoding closes itself

std::expected<std::unique_ptr<AacFileWriter>, QString> AacFileWriter::create(const QString& path, int sampleRate,
                                                                             int channels, int bitRate)
{
    const auto codecs = MediaCodecs::load();
    if (!codecs)
        return std::unexpected(codecs.error());
    auto encoding = (*codecs)->createAacEncoding(path, sampleRate, channels, bitRate);
    if (!encoding)
        return std::unexpected(std::move(encoding.error()));
    return std::unique_ptr<AacFileWriter>(new AacFileWriter(path, std::move(*encoding)));
}

std::expected<void, QString> AacFileWriter::write(const float* const* channels, qint64 frames)
{
    return m_encoding->write(channels, frames);
}

std::expected<void, QString> AacFileWriter::close() { return m_encoding->close(); }

}  // namespace harkwell
