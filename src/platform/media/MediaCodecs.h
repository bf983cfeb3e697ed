#pragma once
// The audio codecs, which live in a module of their own (FFmpeg) that is loaded the first time audio
// is encoded, decoded, resampled or probed: an idle app then never maps FFmpeg's libraries and
// everything they pull in. AacFileWriter, AudioFileReader, AudioResampler and FfmpegDurationProbe
// are the faces the rest of the app uses.
//
// Every method below is pure virtual or inline, so the module needs nothing from the executable:
// each side emits its own copy of these classes' vtables and type information.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <expected>
#include <memory>
#include <optional>
#include <vector>

namespace harkwell {

// An AAC file being written; see AacFileWriter.
class AacEncoding {
public:
    virtual ~AacEncoding() = default;
    virtual std::expected<void, QString> write(const float* const* channels, qint64 frames) = 0;
    virtual std::expected<void, QString> close() = 0;
};

// An audio file being read as float; see AudioFileReader.
class AudioDecoding {
public:
    virtual ~AudioDecoding() = default;
    virtual int sampleRate() const = 0;
    virtual int channels() const = 0;
    virtual qint64 lengthFrames() const = 0;
    virtual std::expected<qint64, QString> read(float* const* channels, qint64 frames) = 0;
};

// One rate and channel count brought to another; see AudioResampler.
class AudioResampling {
public:
    virtual ~AudioResampling() = default;
    virtual std::expected<void, QString> convert(const float* const* in, qint64 frames,
                                                 std::vector<std::vector<float>>& out) = 0;
};

class MediaCodecs {
public:
    virtual ~MediaCodecs() = default;

    virtual std::expected<std::unique_ptr<AacEncoding>, QString> createAacEncoding(const QString& path, int sampleRate,
                                                                                   int channels, int bitRate) = 0;
    virtual std::expected<std::unique_ptr<AudioDecoding>, QString> openAudioDecoding(const QString& path) = 0;
    virtual std::expected<std::unique_ptr<AudioResampling>, QString> createResampling(double fromRate, int fromChannels,
                                                                                      double toRate, int toChannels) = 0;
    // Seconds; nothing when the file (its path as the file system's bytes) is not audio.
    virtual std::optional<double> duration(const QByteArray& nativePath) = 0;

    // The module built with this executable, loaded on the first call from any thread and kept for
    // the life of the process; the error, the same on every call, says why it could not be.
    static std::expected<MediaCodecs*, QString> load();
    // The module at `modulePath`.
    static std::expected<MediaCodecs*, QString> load(const QString& modulePath);
    // Where the module is looked for, first found first, for a program at `executable`.
    static QStringList modulePaths(const QString& executable);
};

}  // namespace harkwell

// The one symbol the module exports, found by name: the codecs, alive until the process ends.
extern "C" harkwell::MediaCodecs* harkwell_media_codecs();
