#pragma once
// Reads an audio file of any format FFmpeg knows as 32-bit float, one buffer per channel, at the
// file's own rate and channel count. The length comes from the container and may be an estimate;
// reading simply ends where the audio does.

#include <QString>

#include <expected>
#include <memory>

namespace harkwell {

class AudioDecoding;

class AudioFileReader {
public:
    struct Format {
        double sampleRate = 0;
        int channels = 0;
    };

    ~AudioFileReader();
    AudioFileReader(const AudioFileReader&) = delete;
    AudioFileReader& operator=(const AudioFileReader&) = delete;

    // The error is FFmpeg's reason (or why the codecs could not be loaded), fit for a log line.
    static std::expected<std::unique_ptr<AudioFileReader>, QString> open(const QString& path);

    Format format() const { return m_format; }
    // Frames the container says the file holds; 0 when it says nothing.
    qint64 lengthFrames() const { return m_length; }
    // Frames handed out so far.
    qint64 position() const { return m_position; }

    // Up to `frames` frames into `channels` (format().channels buffers of at least `frames`
    // floats each); 0 at the end of the audio.
    std::expected<qint64, QString> read(float* const* channels, qint64 frames);

private:
    explicit AudioFileReader(std::unique_ptr<AudioDecoding> decoding);

    std::unique_ptr<AudioDecoding> m_decoding;
    Format m_format;
    qint64 m_length = 0;
    qint64 m_position = 0;
};

}  // namespace harkwell
