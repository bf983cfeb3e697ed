#include "recording/RecordingEncoder.h"

#include "foundation/HarkwellLog.h"
#include "platform/media/AacFileWriter.h"
#include "platform/media/AudioFileReader.h"
#include "platform/media/AudioResampler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cfloat>
#include <memory>
#include <new>
#include <vector>

namespace harkwell {

namespace {

using Channels = std::array<const float*, RecordingEncoder::kChannels>;

void log(const QString& message) { HarkwellLog::log(QStringLiteral("[harkwell] recorder: ") + message); }

std::unique_ptr<float[]> allocate(qint64 count) { return std::unique_ptr<float[]>(new (std::nothrow) float[size_t(count)]); }

// Receives working-format frames in order and writes them into consecutive parts, holding the
// last stretch before each part's cap back until the cut is known.
class PartSink {
public:
    PartSink(QString workFolder, QString id, RecordingEncoder::Limits limits)
        : m_workFolder(std::move(workFolder))
        , m_id(std::move(id))
        , m_limits(limits)
    {
    }

    bool allocate()
    {
        for (auto& channel : m_window)
            if (!(channel = harkwell::allocate(std::max<qint64>(m_limits.windowFrames, 1))))
                return false;
        return true;
    }

    std::expected<void, EncodeError> append(const Channels& in, qint64 n)
    {
        qint64 p = 0;
        while (p < n) {
            if (!m_inWindow) {
                const qint64 room = m_limits.partFrames - m_limits.windowFrames - m_partFrames;
                if (room < 1) {
                    m_inWindow = true;
                    m_windowFrames = 0;
                    continue;
                }
                const qint64 count = std::min(n - p, room);
                if (auto written = write(in, p, count); !written)
                    return written;
                p += count;
            } else {
                const qint64 count = std::min(n - p, m_limits.windowFrames - m_windowFrames);
                for (int ch = 0; ch < RecordingEncoder::kChannels; ++ch)
                    std::copy_n(in[size_t(ch)] + p, count, m_window[size_t(ch)].get() + m_windowFrames);
                m_windowFrames += count;
                p += count;
                if (m_windowFrames == m_limits.windowFrames)
                    if (auto cut = this->cut(); !cut)
                        return cut;
            }
        }
        return {};
    }

    std::expected<QStringList, EncodeError> finish()
    {
        if (m_inWindow && m_windowFrames > 0)
            if (auto written = write(window(), 0, m_windowFrames); !written)
                return std::unexpected(written.error());
        m_inWindow = false;
        m_windowFrames = 0;
        if (auto closed = closePart(); !closed)
            return std::unexpected(closed.error());
        return m_parts;
    }

    const QStringList& parts() const { return m_parts; }
    qint64 totalFrames() const { return m_totalFrames; }

private:
    Channels window() const
    {
        Channels channels{};
        for (int ch = 0; ch < RecordingEncoder::kChannels; ++ch)
            channels[size_t(ch)] = m_window[size_t(ch)].get();
        return channels;
    }

    std::expected<AacFileWriter*, EncodeError> openPartIfNeeded()
    {
        if (m_file)
            return m_file.get();
        const QString name = RecordingEncoder::partName(m_id, int(m_parts.size()) + 1);
        const QString path = QDir(m_workFolder).filePath(name);
        QFile::remove(path);
        auto file = AacFileWriter::create(path, RecordingEncoder::kSampleRate, RecordingEncoder::kChannels,
                                          RecordingEncoder::kBitRate);
        if (!file)
            return std::unexpected(EncodeError::cannotCreatePart(name, file.error()));
        m_file = std::move(*file);
        m_parts.append(path);
        m_partFrames = 0;
        return m_file.get();
    }

    std::expected<void, EncodeError> write(const Channels& in, qint64 from, qint64 count)
    {
        if (count < 1)
            return {};
        auto file = openPartIfNeeded();
        if (!file)
            return std::unexpected(file.error());
        for (qint64 done = 0; done < count;) {
            const qint64 run = std::min(count - done, RecordingEncoder::kBufferFrames);
            Channels at{};
            for (int ch = 0; ch < RecordingEncoder::kChannels; ++ch)
                at[size_t(ch)] = in[size_t(ch)] + from + done;
            if (auto written = (*file)->write(at.data(), run); !written)
                return std::unexpected(EncodeError::writeFailed(QFileInfo((*file)->path()).fileName(), written.error()));
            done += run;
        }
        m_partFrames += count;
        m_totalFrames += count;
        return {};
    }

    std::expected<void, EncodeError> closePart()
    {
        if (!m_file)
            return {};
        const std::unique_ptr<AacFileWriter> file = std::move(m_file);
        if (auto closed = file->close(); !closed)
            return std::unexpected(EncodeError::writeFailed(QFileInfo(file->path()).fileName(), closed.error()));
        return {};
    }

    std::expected<void, EncodeError> cut()
    {
        const qint64 n = m_windowFrames;
        const Channels held = window();
        const qint64 m = RecordingEncoder::quietestCut(held.data(), RecordingEncoder::kChannels, n,
                                                       RecordingEncoder::kSampleRate);
        if (auto written = write(held, 0, m); !written)
            return written;
        log(QStringLiteral("part %1 cut at %2 s")
                .arg(m_parts.size())
                .arg(double(m_partFrames) / RecordingEncoder::kSampleRate, 0, 'f', 1));
        if (auto closed = closePart(); !closed)
            return closed;
        m_inWindow = false;
        if (m < n)
            if (auto written = write(held, m, n - m); !written)
                return written;
        m_windowFrames = 0;
        return {};
    }

    const QString m_workFolder;
    const QString m_id;
    const RecordingEncoder::Limits m_limits;
    QStringList m_parts;
    qint64 m_totalFrames = 0;
    std::unique_ptr<AacFileWriter> m_file;
    qint64 m_partFrames = 0;
    std::array<std::unique_ptr<float[]>, RecordingEncoder::kChannels> m_window;
    qint64 m_windowFrames = 0;
    bool m_inWindow = false;
};

void removeOldParts(const QString& workFolder, const QString& id)
{
    const QDir folder(workFolder);
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const bool first = name == id + QStringLiteral(".m4a");
        const bool later = name.startsWith(id + QLatin1Char('_')) && name.endsWith(QStringLiteral(".m4a"));
        if (first || later)
            QFile::remove(folder.filePath(name));
    }
}

void logReadFailure(const QString& name, qint64 position, const QString& reason)
{
    log(QStringLiteral("%1 readable up to frame %2: %3").arg(name, QString::number(position), reason));
}

// One segment file into the sink, converted to the working format where it differs.
std::expected<void, EncodeError> feed(AudioFileReader& file, const QString& name, PartSink& sink)
{
    const AudioFileReader::Format format = file.format();
    std::vector<std::unique_ptr<float[]>> read(size_t(format.channels));
    std::vector<float*> readChannels(size_t(format.channels));
    for (size_t ch = 0; ch < read.size(); ++ch)
        if (!(readChannels[ch] = (read[ch] = allocate(RecordingEncoder::kBufferFrames)).get()))
            return std::unexpected(EncodeError::conversionFailed(name, QStringLiteral("could not allocate a read buffer")));

    if (format.sampleRate == RecordingEncoder::kSampleRate && format.channels == RecordingEncoder::kChannels) {
        for (;;) {
            const qint64 position = file.position();
            const auto frames = file.read(readChannels.data(), RecordingEncoder::kBufferFrames);
            if (!frames) {
                logReadFailure(name, position, frames.error());
                return {};
            }
            if (*frames == 0)
                return {};
            if (auto appended = sink.append({readChannels[0], readChannels[1]}, *frames); !appended)
                return appended;
        }
    }

    auto converter = AudioResampler::create(format.sampleRate, format.channels, RecordingEncoder::kSampleRate,
                                            RecordingEncoder::kChannels);
    if (!converter)
        return std::unexpected(EncodeError::conversionFailed(
            name, QStringLiteral("no converter from %1 Hz / %2 ch").arg(qint64(format.sampleRate)).arg(format.channels)));
    std::vector<std::vector<float>> converted(RecordingEncoder::kChannels);
    for (auto& channel : converted)
        channel.reserve(size_t(double(RecordingEncoder::kSampleRate) / format.sampleRate * RecordingEncoder::kBufferFrames)
                        + 1024);
    for (bool ended = false; !ended;) {
        for (auto& channel : converted)
            channel.clear();
        const qint64 position = file.position();
        const auto frames = file.read(readChannels.data(), RecordingEncoder::kBufferFrames);
        if (!frames)
            logReadFailure(name, position, frames.error());
        ended = !frames || *frames == 0;
        // At the end the filter gives up what it still holds.
        const auto done = ended ? (*converter)->convert(nullptr, 0, converted)
                                : (*converter)->convert(readChannels.data(), *frames, converted);
        if (!done)
            return std::unexpected(EncodeError::conversionFailed(name, done.error().isEmpty() ? QStringLiteral("unknown error")
                                                                                              : done.error()));
        if (!converted[0].empty())
            if (auto appended = sink.append({converted[0].data(), converted[1].data()}, qint64(converted[0].size()));
                !appended)
                return appended;
    }
    return {};
}

}  // namespace

RecordingEncoder::Limits RecordingEncoder::Limits::forRate(int sampleRate)
{
    const qint64 rate = sampleRate;
    const qint64 part = std::max<qint64>(2 * rate, 571'950'545);
    const qint64 window = std::max<qint64>(rate, part < 5'760'000 ? part / 2 : 2'880'000);
    return {part, window};
}

QString RecordingEncoder::partName(const QString& id, int index)
{
    return index <= 1 ? id + QStringLiteral(".m4a") : QStringLiteral("%1_%2.m4a").arg(id, QString::number(index));
}

qint64 RecordingEncoder::quietestCut(const float* const* channels, int channelCount, qint64 length, qint64 blockFrames)
{
    const qint64 b = blockFrames;
    if (!channels || b < 1 || length < b)
        return length;
    double least = DBL_MAX;
    qint64 start = length - b;
    for (qint64 k = 0; (k + 1) * b <= length; ++k) {
        double energy = 0;
        for (int ch = 0; ch < channelCount; ++ch) {
            const float* samples = channels[ch] + k * b;
            float sum = 0;
            for (qint64 i = 0; i < b; ++i)
                sum += samples[i] * samples[i];
            energy += double(sum);
        }
        if (energy <= least) {
            least = energy;
            start = k * b;
        }
    }
    return start + b / 2;
}

std::expected<QStringList, EncodeError> RecordingEncoder::encode(const QString& workFolder,
                                                                const RecordingSidecar& sidecar, Limits limits)
{
    if (sidecar.segments.isEmpty())
        return std::unexpected(EncodeError::noSegments());
    removeOldParts(workFolder, sidecar.id);

    PartSink sink(workFolder, sidecar.id, limits);
    if (!sink.allocate())
        return std::unexpected(EncodeError::conversionFailed(QStringLiteral("output"),
                                                             QStringLiteral("could not allocate encoder buffers")));

    int fed = 0;
    for (const RecordingSidecar::Segment& segment : sidecar.segments) {
        const QString name = segment.file;
        const QFileInfo info(QDir(workFolder).filePath(name));
        if (!info.isFile() || info.size() < 1) {
            log(QStringLiteral("skipping empty or missing %1").arg(name));
            continue;
        }
        auto file = AudioFileReader::open(info.filePath());
        if (!file) {
            log(QStringLiteral("cannot open %1, skipped: %2").arg(name, file.error()));
            continue;
        }
        if ((*file)->lengthFrames() < 1) {
            log(QStringLiteral("skipping zero-length %1").arg(name));
            continue;
        }
        if (auto fedOne = feed(**file, name, sink); !fedOne)
            return std::unexpected(fedOne.error());
        ++fed;
    }

    auto parts = sink.finish();
    if (!parts)
        return std::unexpected(parts.error());
    if (fed == 0) {
        for (const QString& part : *parts)
            QFile::remove(part);
        return std::unexpected(EncodeError::noAudio());
    }
    if (parts->isEmpty())
        return std::unexpected(EncodeError::noAudio());
    log(QStringLiteral("encoded %1 into %2 part(s), %3 s")
            .arg(sidecar.id)
            .arg(parts->size())
            .arg(double(sink.totalFrames()) / kSampleRate, 0, 'f', 0));
    return *parts;
}

}  // namespace harkwell
