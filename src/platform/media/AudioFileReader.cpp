#include "platform/media/AudioFileReader.h"

#include "platform/media/MediaCodecs.h"

namespace harkwell {

AudioFileReader::AudioFileReader(std::unique_ptr<AudioDecoding> decoding)
    : m_decoding(std::move(decoding))
    , m_format{double(m_decoding->sampleRate()), m_decoding->channels()}
    , m_length(m_decoding->lengthFrames())
{
}

AudioFileReader::~AudioFileReader() = default;

std::expected<std::unique_ptr<AudioFileReader>, QString> AudioFileReader::open(const QString& path)
{
    const auto codecs = MediaCodecs::load();
    if (!codecs)
        return std::unexpected(codecs.error());
    auto decoding = (*codecs)->openAudioDecoding(path);
    if (!decoding)
        return std::unexpected(std::move(decoding.error()));
    return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(*decoding)));
}

std::expected<qint64, QString> AudioFileReader::read(float* const* channels, qint64 frames)
{
    auto done = m_decoding->read(channels, frames);
    if (done)
        m_position += *done;
    return done;
}

}  // namespace harkwell
