// The recording writer end to end: segments named and numbered from the sidecar, the ring's frames
// on disk exactly (through the microphone pipeline too), frames dropped while paused, recording.json
// kept durable, and a segment that still reads back after the writer was killed mid-write.

#include "audio/AudioRingBuffer.h"
#include "audio/RecordingWriter.h"
#include "foundation/HarkwellLog.h"
#include "foundation/RecordingTypes.h"
#include "platform/clock/FakeClock.h"
#include "platform/paths/Paths.h"
#include "support/LogFile.h"
#include "support/TempHome.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <sndfile.h>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer's allocator interface (g++ ships the library, not the header).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
#endif

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <semaphore>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace harkwell;

namespace {

constexpr double kRate = 48000;
constexpr int64_t kRingFrames = 524288;
constexpr char kChildFlag[] = "--writer-child";

// Deterministic white-ish noise: the system audio the speakers play.
float systemSample(qint64 frame)
{
    quint32 x = quint32(frame) * 2654435761u + 0x9e3779b9u;
    x ^= x >> 15;
    x *= 0x85ebca6bu;
    x ^= x >> 13;
    return (float(x & 0xffff) / 65535.0f - 0.5f) * 0.6f;
}

// Frame f of the ring without a microphone: (f, -f) scaled into range, so loss and order show.
void rampFrames(qint64 first, qint64 count, std::vector<float>& out)
{
    out.resize(size_t(count) * 2);
    for (qint64 i = 0; i < count; ++i) {
        out[2 * i] = float(first + i) / 1e7f;
        out[2 * i + 1] = -float(first + i) / 1e7f;
    }
}

void feedRamp(AudioRingBuffer& ring, qint64 first, qint64 count)
{
    std::vector<float> frames;
    rampFrames(first, count, frames);
    QCOMPARE(ring.write(frames.data(), count), count);
}

RecordingSidecar sidecarFor(const QString& id)
{
    RecordingSidecar sidecar;
    sidecar.id = id;
    sidecar.startedAt = QDateTime(QDate(2026, 3, 4), QTime(9, 0), Qt::UTC);
    return sidecar;
}

struct Segment {
    qint64 frames = -1;
    int rate = 0;
    int channels = 0;
    std::vector<float> samples;
};

Segment readSegment(const QString& path)
{
    Segment segment;
    SF_INFO info {};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return segment;
    segment.frames = info.frames;
    segment.rate = info.samplerate;
    segment.channels = info.channels;
    segment.samples.resize(size_t(info.frames * info.channels));
    sf_readf_float(file, segment.samples.data(), info.frames);
    sf_close(file);
    return segment;
}

QJsonObject probe(const QString& path)
{
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"), {"-v", "error", "-select_streams", "a:0", "-show_entries",
                                              "stream=codec_name,channels,sample_rate,duration", "-of", "json", path});
    if (!ffprobe.waitForFinished(30000) || ffprobe.exitCode() != 0)
        return {};
    return QJsonDocument::fromJson(ffprobe.readAllStandardOutput())["streams"][0].toObject();
}

std::optional<RecordingSidecar> sidecarOnDisk(const QString& id)
{
    QFile file(QDir(RecordingPaths::workFolder(id)).filePath("recording.json"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    auto decoded = RecordingSidecar::decode(file.readAll());
    return decoded ? std::optional(*decoded) : std::nullopt;
}

QStringList threadNames()
{
    QStringList names;
    for (const QString& task : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm("/proc/self/task/" + task + "/comm");
        if (comm.open(QIODevice::ReadOnly))
            names.append(QString::fromUtf8(comm.readAll()).trimmed());
    }
    return names;
}

using test::logText;

double energy(const Segment& segment, int channel, qint64 from, qint64 to)
{
    double sum = 0;
    for (qint64 f = from; f < to; ++f)
        sum += double(segment.samples[2 * f + channel]) * segment.samples[2 * f + channel];
    return sum;
}

// The child process: writes a recording of generated audio at four times real time, telling the
// parent how much it has fed, until it is killed. With "fsize", files are capped so writes fail.
int runChild(const QString& mode)
{
    if (mode == QLatin1String("fsize")) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit {256 * 1024, 256 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    RecordingWriter writer(RecordingPaths::workFolder(mode), sidecarFor(mode));
    if (!writer.beginSegment(kRate, std::nullopt, QStringLiteral("start")))
        return 2;
    auto ring = std::make_shared<AudioRingBuffer>(kRingFrames, 2);
    writer.startDraining(ring);

    constexpr qint64 kBlock = 480;
    std::vector<float> frames;
    for (qint64 fed = 0;;) {
        rampFrames(fed, kBlock, frames);
        for (qint64 stored = 0; stored < kBlock;)
            stored += ring->write(frames.data() + 2 * stored, kBlock - stored);
        fed += kBlock;
        if (fed % 4800 == 0) {
            std::printf("fed %lld\n", static_cast<long long>(fed));
            std::fflush(stdout);
        }
        if (mode == QLatin1String("fsize") && fed == 2 * qint64(kRate)) {
            writer.finish();
            QMutexLocker locker(&writer.lock());
            std::printf("failed %d %s\n", writer.failedWritesLocked(),
                        qPrintable(writer.lastWriteErrorLocked().value_or(QString())));
            std::fflush(stdout);
            HarkwellLog::waitUntilWritten();
            return 0;
        }
        usleep(2500);
    }
}

// Allocations made on the writer's thread while counting is on. Under AddressSanitizer every malloc
// is seen (Qt's strings included); elsewhere only operator new.
std::atomic<bool> g_countAllocations {false};
std::atomic<int> g_writerThreadAllocations {0};

void noteAllocation()
{
    if (!g_countAllocations.load(std::memory_order_relaxed))
        return;
    char name[16] = {};
    prctl(PR_GET_NAME, name);
    if (std::strncmp(name, RecordingWriter::kThreadName, 15) == 0)
        g_writerThreadAllocations.fetch_add(1);
}

#if defined(__SANITIZE_ADDRESS__)
void mallocHook(const volatile void*, size_t) { noteAllocation(); }
void freeHook(const volatile void*) {}
#endif

}  // namespace

#if !defined(__SANITIZE_ADDRESS__)
void* operator new(size_t size)
{
    noteAllocation();
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#endif

class RecordingWriterTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_install_malloc_and_free_hooks(mallocHook, freeHook);
#endif
    }

    void segmentNames_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("name");
        QTest::newRow("first") << 1 << "segment-001.caf";
        QTest::newRow("two digits") << 42 << "segment-042.caf";
        QTest::newRow("last with three") << 999 << "segment-999.caf";
        QTest::newRow("past 999 grows") << 1000 << "segment-1000.caf";
        QTest::newRow("far past") << 12345 << "segment-12345.caf";
    }
    void segmentNames()
    {
        QFETCH(int, number);
        QFETCH(QString, name);
        QCOMPARE(RecordingWriter::segmentFileName(number), name);
    }

    void thousandthSegmentIsNumberedFromTheSidecar()
    {
        test::TempHome home;
        RecordingSidecar sidecar = sidecarFor("many");
        for (int i = 1; i <= 999; ++i) {
            RecordingSidecar::Segment segment;
            segment.file = RecordingWriter::segmentFileName(i);
            segment.startedAt = sidecar.startedAt;
            segment.sampleRate = kRate;
            segment.reason = "resume";
            sidecar.segments.append(segment);
        }
        RecordingWriter writer(RecordingPaths::workFolder("many"), sidecar);
        QVERIFY(writer.beginSegment(kRate, std::nullopt, "wake"));
        writer.finish();
        QVERIFY(QFile::exists(QDir(RecordingPaths::workFolder("many")).filePath("segment-1000.caf")));
        QCOMPARE(sidecarOnDisk("many")->segments.last().file, QString("segment-1000.caf"));
    }

    void writeDurablyCreatesTheFolderAndReplacesTheTarget()
    {
        test::TempHome home;
        const QString target = home.path() + "/a/b/recording.json";
        QVERIFY(RecordingWriter::writeDurably("first", target));
        QVERIFY(RecordingWriter::writeDurably("second", target));
        QFile file(target);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("second"));
        QCOMPARE(QDir(home.path() + "/a/b").entryList(QDir::Files | QDir::Hidden), QStringList {"recording.json"});
    }

    void failedRenameKeepsTheTemporaryFile()
    {
        test::TempHome home;
        // A folder with something in it cannot be renamed over.
        home.writeFile("w/recording.json/blocker", "x");
        const QString target = home.path() + "/w/recording.json";
        const auto written = RecordingWriter::writeDurably("{}", target);
        QVERIFY(!written);
        QVERIFY2(written.error().text.startsWith("rename: "), qPrintable(written.error().text));
        QFile temporary(home.path() + "/w/.recording.json.tmp");
        QVERIFY(temporary.open(QIODevice::ReadOnly));
        QCOMPARE(temporary.readAll(), QByteArray("{}"));
    }

    void sidecarWriteFailureIsLoggedAndRetried()
    {
        test::TempHome home;
        home.writeFile(Paths::recordingsFolder() + "/blocked/recording.json/x", "x");
        RecordingWriter writer(RecordingPaths::workFolder("blocked"), sidecarFor("blocked"));
        QVERIFY(logText().contains("[harkwell] recorder: sidecar write failed: rename: "));

        QVERIFY(QDir(QDir(RecordingPaths::workFolder("blocked")).filePath("recording.json")).removeRecursively());
        QMutexLocker locker(&writer.lock());
        writer.stateLocked().micSideSilent = true;
        writer.persistLocked();
        locker.unlock();
        QVERIFY(sidecarOnDisk("blocked")->micSideSilent);
    }

    void segmentWithoutMicrophoneHoldsTheRingUnchanged()
    {
        test::TempHome home;
        FakeClock clock;
        RecordingWriter writer(RecordingPaths::workFolder("plain"), sidecarFor("plain"), clock);
        QVERIFY(sidecarOnDisk("plain"));
        QVERIFY(writer.beginSegment(44100, std::nullopt, "start"));
        auto ring = std::make_shared<AudioRingBuffer>(kRingFrames, 2);
        writer.startDraining(ring);
        QTRY_VERIFY_WITH_TIMEOUT(threadNames().contains("harkwell.record"), 10000);  // Linux keeps 15 bytes
        feedRamp(*ring, 0, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(ring->readCount(), 30000, 10000);
        feedRamp(*ring, 30000, 12345);  // still in the ring when finish() comes
        clock.advance(std::chrono::seconds(5));
        const RecordingSidecar finished = writer.finish();

        const Segment segment = readSegment(QDir(RecordingPaths::workFolder("plain")).filePath("segment-001.caf"));
        QCOMPARE(segment.frames, 42345);
        QCOMPARE(segment.rate, 44100);
        QCOMPARE(segment.channels, 2);
        std::vector<float> expected;
        rampFrames(0, 42345, expected);
        QVERIFY(segment.samples == expected);

        QCOMPARE(finished.status, QString("stopped"));
        QCOMPARE(finished.endedAt, clock.now());
        QCOMPARE(finished.segments.size(), 1);
        QCOMPARE(finished.segments[0].echoReferenceDelay, std::nullopt);
        QCOMPARE(finished.segments[0].echoCancelled, std::optional(false));
        QCOMPARE(finished.segments[0].endedAt, clock.now());
        QCOMPARE(sidecarOnDisk("plain"), std::optional(finished));

        const QString log = logText();
        QVERIFY(log.contains("[harkwell] recorder: segment segment-001.caf started (44100 Hz, reason start, "
                             "echo cancellation n/a, reference delay 0 ms)"));
        QVERIFY(log.contains("[harkwell] recorder: segment segment-001.caf closed (42345 frames)"));
        QVERIFY(log.contains("[harkwell] recorder: writer finished plain (1 segment(s))"));
    }

    void framesAreDroppedWhilePaused()
    {
        test::TempHome home;
        RecordingWriter writer(RecordingPaths::workFolder("pause"), sidecarFor("pause"));
        QVERIFY(writer.beginSegment(kRate, std::nullopt, "start"));
        auto ring = std::make_shared<AudioRingBuffer>(kRingFrames, 2);
        writer.startDraining(ring);
        feedRamp(*ring, 0, 1000);
        {
            QMutexLocker locker(&writer.lock());
            writer.endSegmentLocked();
            writer.stateLocked().status = "paused";
            writer.persistLocked();
        }
        feedRamp(*ring, 1000, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(ring->readCount(), 6000, 10000);
        QVERIFY(writer.beginSegment(kRate, std::nullopt, "resume"));
        feedRamp(*ring, 6000, 700);
        writer.finish();

        const QString folder = RecordingPaths::workFolder("pause");
        const Segment first = readSegment(folder + "/segment-001.caf");
        const Segment second = readSegment(folder + "/segment-002.caf");
        std::vector<float> expected;
        rampFrames(0, 1000, expected);
        QVERIFY(first.samples == expected);
        rampFrames(6000, 700, expected);
        QVERIFY(second.samples == expected);
        QCOMPARE(sidecarOnDisk("pause")->segments[1].reason, QString("resume"));
    }

    void finishWithoutThreadClosesTheSegment()
    {
        test::TempHome home;
        RecordingWriter writer(RecordingPaths::workFolder("idle"), sidecarFor("idle"));
        QVERIFY(writer.beginSegment(kRate, QString("Mic"), "start"));
        const RecordingSidecar finished = writer.finish();
        QCOMPARE(finished.status, QString("stopped"));
        QVERIFY(finished.segments[0].endedAt);
        QCOMPARE(readSegment(RecordingPaths::workFolder("idle") + "/segment-001.caf").frames, 0);
    }

    void failedSegmentKeepsItsNumberForTheNext()
    {
        test::TempHome home;
        RecordingWriter writer(RecordingPaths::workFolder("fail"), sidecarFor("fail"));
        QVERIFY(writer.beginSegment(kRate, std::nullopt, "start"));
        // A stale file under the next name is replaced, not appended to.
        home.writeFile(Paths::recordingsFolder() + "/fail/segment-002.caf", "junk");
        const auto failed = writer.beginSegment(0, std::nullopt, "wake");
        QVERIFY(!failed);
        QVERIFY(logText().contains("[harkwell] recorder: cannot create segment-002.caf: "));
        {
            QMutexLocker locker(&writer.lock());
            QCOMPARE(writer.stateLocked().segments.size(), 1);
            QVERIFY(writer.stateLocked().segments[0].endedAt);  // the open one was closed first
        }
        QVERIFY(writer.beginSegment(kRate, std::nullopt, "wake"));
        const RecordingSidecar finished = writer.finish();
        QCOMPARE(finished.segments.size(), 2);
        QCOMPARE(finished.segments[1].file, QString("segment-002.caf"));
        QCOMPARE(readSegment(RecordingPaths::workFolder("fail") + "/segment-002.caf").frames, 0);
    }

    void referenceDelayIsRecordedAsApplied_data()
    {
        QTest::addColumn<double>("given");
        QTest::addColumn<double>("recorded");
        QTest::newRow("three seconds") << 3.0 << 2.5;
        QTest::newRow("negative") << -1.0 << 0.0;
        QTest::newRow("not a number") << std::nan("") << 0.0;
        QTest::newRow("twenty milliseconds") << 0.02 << 0.02;
    }
    void referenceDelayIsRecordedAsApplied()
    {
        QFETCH(double, given);
        QFETCH(double, recorded);
        test::TempHome home;
        RecordingWriter writer(RecordingPaths::workFolder("delay"), sidecarFor("delay"));
        QVERIFY(writer.beginSegment(kRate, QString("Mic"), "start", false, given));
        QCOMPARE(writer.finish().segments[0].echoReferenceDelay, std::optional(recorded));
        QVERIFY(logText().contains(QString("reference delay %1 ms)").arg(recorded * 1000, 0, 'f', 0)));
    }

    void segmentStampedSystemStereoIsNeverCancelled()
    {
        test::TempHome home;
        RecordingWriter writer(RecordingPaths::workFolder("stereo"), sidecarFor("stereo"));
        QVERIFY(writer.beginSegment(kRate, QString("Mic"), "start", true, 0.0));
        {
            QMutexLocker locker(&writer.lock());
            writer.stateLocked().segments.last().channelLayout = ChannelLayout::kSystemStereo;
            writer.persistLocked();
        }
        auto ring = std::make_shared<AudioRingBuffer>(kRingFrames, 2);
        feedRamp(*ring, 0, 20000);
        writer.startDraining(ring);
        QCOMPARE(writer.finish().segments[0].echoCancelled, std::optional(false));
    }

    void switchingOnMidSegmentMarksTheSegmentOnce()
    {
        test::TempHome home;
        RecordingWriter writer(RecordingPaths::workFolder("mid"), sidecarFor("mid"));
        QVERIFY(writer.beginSegment(kRate, QString("Mic"), "start", false, 0.0));
        auto ring = std::make_shared<AudioRingBuffer>(kRingFrames, 2);
        writer.startDraining(ring);
        feedRamp(*ring, 0, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(ring->readCount(), 10000, 10000);
        QCOMPARE(sidecarOnDisk("mid")->segments[0].echoCancelled, std::optional(false));

        writer.setEchoSwitch(true);
        feedRamp(*ring, 10000, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(sidecarOnDisk("mid")->segments[0].echoCancelled.value_or(false), 10000);
        const RecordingSidecar finished = writer.finish();
        QCOMPARE(readSegment(RecordingPaths::workFolder("mid") + "/segment-001.caf").frames, 20000);
        const QString log = logText();
        QCOMPARE(log.count("[harkwell] recorder: echo cancellation on in segment-001.caf"), 1);
        QVERIFY(log.contains("[harkwell] recorder: echo canceller on segment-001.caf: echo left "));
    }

    // A producer plays 10 s of system audio that the microphone hears 5 ms later; echo cancelling
    // is switched on half way, which cuts a second segment.
    void tenSecondsWithAnEchoChange()
    {
        test::TempHome home;
        const int echoDelay = 240;
        const qint64 half = 5 * qint64(kRate);
        FakeClock clock;  // whole seconds, as recording.json keeps them
        RecordingWriter writer(RecordingPaths::workFolder("call"), sidecarFor("call"), clock);
        QList<float> levels;
        connect(&writer, &RecordingWriter::micLevel, this, [&](float level) {
            QCOMPARE(QThread::currentThread(), QCoreApplication::instance()->thread());
            levels.append(level);
        });
        QVERIFY(writer.beginSegment(kRate, QString("Built-in Microphone"), "start", false, echoDelay / kRate));
        auto ring = std::make_shared<AudioRingBuffer>(kRingFrames, 2);
        writer.startDraining(ring);

        std::atomic<bool> firstHalfFed {false}, producerDone {false};
        std::binary_semaphore secondHalf {0};
        std::thread producer([&] {
            std::vector<float> block(2 * 480);
            for (qint64 fed = 0; fed < 2 * half; fed += 480) {
                if (fed == half) {
                    firstHalfFed = true;
                    secondHalf.acquire();
                }
                for (int i = 0; i < 480; ++i) {
                    block[2 * i] = 0.5f * systemSample(fed + i - echoDelay);
                    block[2 * i + 1] = systemSample(fed + i);
                }
                for (qint64 stored = 0; stored < 480;)
                    stored += ring->write(block.data() + 2 * stored, 480 - stored);
                // Ten times real time: the writer's thread sees the levels while they come.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            producerDone = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(firstHalfFed.load(), 30000);
        QVERIFY(writer.beginSegment(kRate, QString("Built-in Microphone"), "echo-change", true));
        secondHalf.release();
        QTRY_VERIFY_WITH_TIMEOUT(producerDone.load(), 30000);
        producer.join();
        const RecordingSidecar finished = writer.finish();
        QCOMPARE(ring->readCount(), 2 * half);

        const QString folder = RecordingPaths::workFolder("call");
        const Segment first = readSegment(folder + "/segment-001.caf");
        const Segment second = readSegment(folder + "/segment-002.caf");
        QCOMPARE(first.frames, half);
        QCOMPARE(second.frames, half);
        for (const char* name : {"segment-001.caf", "segment-002.caf"}) {
            const QJsonObject stream = probe(folder + "/" + QLatin1String(name));
            QCOMPARE(stream["codec_name"].toString(), QString("pcm_f32le"));
            QCOMPARE(stream["channels"].toInt(), 2);
            QCOMPARE(stream["sample_rate"].toString(), QString("48000"));
            QCOMPARE(stream["duration"].toString().toDouble(), 5.0);
        }
        // The system channel is the system audio, frame for frame, in both segments.
        for (qint64 f = 0; f < half; f += 997) {
            QCOMPARE(first.samples[2 * f + 1], systemSample(f));
            QCOMPARE(second.samples[2 * f + 1], systemSample(half + f));
        }
        // Raw microphone in the first segment; the echo largely gone from the second once adapted.
        QCOMPARE(first.samples[2 * 48000], 0.5f * systemSample(48000 - echoDelay));
        const double raw = energy(first, 0, 3 * 48000, half);
        const double cleaned = energy(second, 0, 3 * 48000, half);
        QVERIFY2(cleaned < raw / 4, qPrintable(QString("raw %1, cleaned %2").arg(raw).arg(cleaned)));

        const std::optional<RecordingSidecar> onDisk = sidecarOnDisk("call");
        QVERIFY(onDisk);
        QCOMPARE(*onDisk, finished);
        QCOMPARE(onDisk->segments.size(), 2);
        QCOMPARE(onDisk->segments[0].reason, QString("start"));
        QCOMPARE(onDisk->segments[0].echoCancelled, std::optional(false));
        QCOMPARE(onDisk->segments[1].reason, QString("echo-change"));
        QCOMPARE(onDisk->segments[1].echoCancelled, std::optional(true));
        QCOMPARE(onDisk->segments[1].echoReferenceDelay, std::optional(echoDelay / kRate));
        QCOMPARE(onDisk->segments[1].micDeviceName, std::optional<QString>("Built-in Microphone"));

        QTRY_VERIFY_WITH_TIMEOUT(!levels.isEmpty() && levels.last() == 0.0f, 10000);
        QVERIFY(std::any_of(levels.begin(), levels.end(), [](float level) { return level > 0.1f; }));
        const QString log = logText();
        QVERIFY(log.contains("segment segment-002.caf started (48000 Hz, reason echo-change, echo cancellation on, "
                             "reference delay 5 ms)"));
        QVERIFY(log.contains("[harkwell] recorder: echo canceller on segment-002.caf: echo left "));
        QVERIFY(!log.contains("echo cancellation on in"));
    }

    // The drain in its steady state, through level readings, periodic syncs and the canceller
    // switched off and on again mid-segment, allocates nothing on the writer's thread: no posted
    // call per level, no log line built there.
    void drainAllocatesNothing()
    {
        test::TempHome home;
        RecordingWriter writer(RecordingPaths::workFolder("quiet"), sidecarFor("quiet"));
        int levels = 0;
        connect(&writer, &RecordingWriter::micLevel, this, [&] { ++levels; });
        QVERIFY(writer.beginSegment(kRate, QString("Mic"), "start", true, 0.005));
        auto ring = std::make_shared<AudioRingBuffer>(kRingFrames, 2);
        writer.startDraining(ring);

        std::atomic<bool> stop {false};
        std::thread producer([&] {
            std::vector<float> block(2 * 480);
            for (qint64 fed = 0; !stop; fed += 480) {
                for (int i = 0; i < 480; ++i) {
                    block[2 * i] = 0.5f * systemSample(fed + i - 240);
                    block[2 * i + 1] = systemSample(fed + i);
                }
                for (qint64 stored = 0; stored < 480 && !stop;)
                    stored += ring->write(block.data() + 2 * stored, 480 - stored);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));  // real time
            }
        });
        // The segment's one sidecar write for cancelling, and a first reading, come before.
        QTRY_VERIFY_WITH_TIMEOUT(sidecarOnDisk("quiet")->segments[0].echoCancelled.value_or(false), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(levels > 0, 10000);
        const int levelsBefore = levels;

        g_writerThreadAllocations = 0;
        g_countAllocations = true;
        QTest::qWait(500);
        writer.setEchoSwitch(false);
        QTest::qWait(500);
        writer.setEchoSwitch(true);
        QTest::qWait(500);
        g_countAllocations = false;
        stop = true;
        producer.join();

        QCOMPARE(g_writerThreadAllocations.load(), 0);
        QVERIFY2(levels >= levelsBefore + 5, qPrintable(QString::number(levels - levelsBefore)));
        writer.finish();
        const QString log = logText();
        QCOMPARE(log.count("[harkwell] recorder: echo cancellation off in segment-001.caf"), 1);
        QCOMPARE(log.count("[harkwell] recorder: echo cancellation on in segment-001.caf"), 1);
        QVERIFY(log.indexOf("echo cancellation on in") < log.indexOf("segment segment-001.caf closed"));
    }

    void killedWriterLeavesAReadableSegment()
    {
        test::TempHome home;
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {kChildFlag, "killed"});
        QVERIFY(child.waitForStarted(10000));
        qint64 fed = 0;
        while (fed < 3 * qint64(kRate) && child.waitForReadyRead(20000)) {
            while (child.canReadLine()) {
                const QByteArray line = child.readLine().trimmed();
                if (line.startsWith("fed "))
                    fed = line.mid(4).toLongLong();
            }
        }
        QVERIFY(fed >= 3 * qint64(kRate));
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        const Segment segment = readSegment(RecordingPaths::workFolder("killed") + "/segment-001.caf");
        QVERIFY2(segment.frames >= fed - qint64(kRate), qPrintable(QString("%1 of %2").arg(segment.frames).arg(fed)));
        std::vector<float> expected;
        rampFrames(0, segment.frames, expected);
        QVERIFY(segment.samples == expected);
        const std::optional<RecordingSidecar> sidecar = sidecarOnDisk("killed");
        QVERIFY(sidecar);
        QCOMPARE(sidecar->segments.size(), 1);
    }

    void failedWritesAreCountedAndLoggedOncePerSegment()
    {
        test::TempHome home;
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {kChildFlag, "fsize"});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitCode(), 0);
        const QList<QByteArray> lines = child.readAllStandardOutput().split('\n');
        const auto report = std::find_if(lines.begin(), lines.end(), [](const QByteArray& l) { return l.startsWith("failed "); });
        QVERIFY(report != lines.end());
        const QList<QByteArray> words = report->split(' ');
        QVERIFY2(words.value(1).toInt() > 1, report->constData());
        QVERIFY2(report->size() > QByteArray("failed 2 ").size(), report->constData());
        QCOMPARE(logText().count("[harkwell] recorder: write failed in segment-001.caf: "), 1);
        // What fitted under the cap is still a readable segment.
        QVERIFY(readSegment(RecordingPaths::workFolder("fsize") + "/segment-001.caf").frames > 0);
    }
};

int main(int argc, char** argv)
{
    if (argc > 2 && qstrcmp(argv[1], kChildFlag) == 0) {
        QCoreApplication app(argc, argv);
        return runChild(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    RecordingWriterTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_recording_writer.moc"
