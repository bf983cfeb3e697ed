#include "SegmentFixtures.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <sndfile.h>

#include <cmath>
#include <vector>

namespace harkwell::test {

bool writeSegment(const QString& path, const QList<Stretch>& stretches, int sampleRate, int channels)
{
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT | SF_ENDIAN_LITTLE;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    qint64 frame = 0;
    bool ok = true;
    for (const Stretch& stretch : stretches) {
        const qint64 frames = qint64(std::llround(stretch.seconds * sampleRate));
        std::vector<float> samples(size_t(frames * channels));
        for (qint64 i = 0; i < frames; ++i, ++frame)
            for (int ch = 0; ch < channels; ++ch)
                samples[size_t(i * channels + ch)] =
                    stretch.amplitude * float(std::sin(2 * M_PI * 480.0 * double(frame % sampleRate) / sampleRate));
        ok = ok && sf_writef_float(file, samples.data(), frames) == frames;
    }
    sf_close(file);
    return ok;
}

std::optional<Probe> ffprobe(const QString& path)
{
    QProcess process;
    process.start(QStringLiteral("ffprobe"),
                  {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                   QStringLiteral("stream=codec_name,sample_rate,channels:format=duration:format_tags=major_brand"), QStringLiteral("-of"),
                   QStringLiteral("json"), path});
    if (!process.waitForFinished(60'000) || process.exitCode() != 0)
        return std::nullopt;
    const QJsonObject root = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    const QJsonArray streams = root.value(QStringLiteral("streams")).toArray();
    if (streams.isEmpty())
        return std::nullopt;
    const QJsonObject stream = streams.first().toObject();
    const QJsonObject format = root.value(QStringLiteral("format")).toObject();
    return Probe{stream.value(QStringLiteral("codec_name")).toString(),
                 stream.value(QStringLiteral("sample_rate")).toString().toInt(),
                 stream.value(QStringLiteral("channels")).toInt(),
                 format.value(QStringLiteral("duration")).toString().toDouble(),
                 format.value(QStringLiteral("tags")).toObject().value(QStringLiteral("major_brand")).toString()};
}

}  // namespace harkwell::test
