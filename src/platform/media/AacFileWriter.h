#pragma once
// Writes an AAC file in an MPEG-4 container (.m4a) from float audio, one buffer per channel:
// FFmpeg's AAC encoder at a fixed bit rate and its MP4 muxer. Nothing is readable until close().

#include <QString>

#include <expected>
#include <memory>

namespace harkwell {

class AacEncoding;

class AacFileWriter {
public:
    ~AacFileWriter();  // closes without reporting; call close() to learn whether it worked
    AacFileWriter(const AacFileWriter&) = delete;
    AacFileWriter& operator=(const AacFileWriter&) = delete;

    // Creates (or replaces) the file; the error is FFmpeg's or the file system's reason, or why the
    // codecs could not be loaded.
    static std::expected<std::unique_ptr<AacFileWriter>, QString> create(const QString& path, int sampleRate,
                                                                         int channels, int bitRate);

    std::expected<void, QString> write(const float* const* channels, qint64 frames);
    // Encodes what is held back and finishes the container; later calls do nothing.
    std::expected<void, QString> close();

    const QString& path() const { return m_path; }

private:
    AacFileWriter(QString path, std::unique_ptr<AacEncoding> encoding);

    QString m_path;
    std::unique_ptr<AacEncoding> m_encoding;
};

}  // namespace harkwell
