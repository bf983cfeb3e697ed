// The real harkwell binary, headless, against the fake service on loopback that answers slowly,
// fails now and then and drops connections: recordings arrive in two watched folders while the
// process is killed (SIGKILL) or asked to quit (SIGTERM) at random moments and started again.
// At the end every recording is exactly one note with one audio copy, every note has its
// transcript, and no temporary is left.
//
// Also: the wall clock set back under the running binary (libfaketime, monotonic time left alone)
// stops no capture.
//
// HARKWELL_CRASH_FILES (recordings, default 4), HARKWELL_CRASH_LIVES (interrupted runs, default 3)
// and HARKWELL_CRASH_SEED make a larger run by hand; the figures are printed at the end.

#include "foundation/InboxWriter.h"
#include "foundation/Settings.h"
#include "foundation/WatchedFolder.h"
#include "platform/paths/Paths.h"
#include "support/FakeMirelonService.h"
#include "support/TempHome.h"
#include "support/TestAudio.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <random>

using namespace harkwell;
using namespace harkwell::test;

namespace {

int setting(const char* name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

QByteArray digest(const QByteArray& bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex(); }

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString logText()
{
    return QString::fromUtf8(readAll(Paths::logFile()));
}

struct Harness {
    Harness()
    {
        vault = home.path() + QStringLiteral("/Vault");
        folders = {home.path() + QStringLiteral("/Phone"), home.path() + QStringLiteral("/Recorder")};
        for (const QString& folder : folders)
            QDir().mkpath(folder);
        QDir().mkpath(vault);

        Settings settings(Paths::settingsFile());
        settings.update([&](AppSettings& s) {
            s.vaultPath = vault;
            s.captureMirelonEnabled = true;
            s.mirelonBaseUrl = service.baseUrl().toString();
            QList<WatchedFolder> watched;
            for (const QString& folder : folders)
                watched.append(WatchedFolder::generic(folder, QFileInfo(folder).fileName()));
            s.watchedFoldersRaw = watched;
        });
        (void)settings.save();

        // Paired: the device token in the file store a machine without a keyring uses.
        QDir().mkpath(QFileInfo(Paths::secretsFile()).absolutePath());
        QFile secrets(Paths::secretsFile());
        secrets.open(QIODevice::WriteOnly);
        secrets.write(R"({"app.harkwell.Harkwell": {"mirelon_device_token": "hwdt_crash_test"}})");
        secrets.close();
        secrets.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    ~Harness()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    void start(const QProcessEnvironment& extra = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        environment.insert(extra);
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        logBefore = logText().size();
        process.start(QStringLiteral(HARKWELL_BINARY), {});
        QVERIFY(process.waitForStarted(10000));
    }
    // Waits, serving the fake service, until this run's log holds `line`.
    bool waitForLine(const QString& line, int ms)
    {
        return QTest::qWaitFor([&] { return logText().mid(logBefore).contains(line); }, ms);
    }

    TempHome home;
    FakeMirelonService service;
    QString vault;
    QStringList folders;
    QProcess process;
    qsizetype logBefore = 0;
};

struct Figures {
    int filesIn = 0;
    int notesOut = 0;
    int lost = 0;
    int duplicated = 0;
    int acceptedTwice = 0;
};

}  // namespace

class CaptureCrashTest : public QObject {
    Q_OBJECT
private slots:
    // A logout's SIGTERM, Ctrl+C's SIGINT or a closed terminal's SIGHUP: the orderly quit runs
    // and the process ends by itself rather than being cut off.
    void quitSignalsEndInOrder_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void quitSignalsEndInOrder()
    {
        QFETCH(int, signal);
        Harness h;
        h.start();
        QVERIFY2(h.waitForLine(QStringLiteral("capture: coordinator started"), 30000), qPrintable(logText()));
        ::kill(pid_t(h.process.processId()), signal);
        QVERIFY(h.process.waitForFinished(20000));
        QCOMPARE(h.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(h.process.exitCode(), 0);
        QVERIFY(h.waitForLine(QStringLiteral("[harkwell] quit: done"), 5000));
    }

    // An NTP step or a clock set by hand moves the wall clock back an hour: the next poll still
    // comes 30 seconds after the last one, and a file dropped after the step is captured.
    void aWallClockSetBackStopsNoCapture()
    {
        const QString library = QStringLiteral(HARKWELL_FAKETIME_LIBRARY);
        QVERIFY2(QFileInfo::exists(library), "libfaketime is missing: scripts/setup installs it");
        Harness h;
        const QString offsetFile = h.home.path() + QStringLiteral("/faketime-offset");
        auto setOffset = [&](const QByteArray& offset) {
            QFile file(offsetFile);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(offset + '\n');
        };
        setOffset("+0");
        QProcessEnvironment faked;
        faked.insert(QStringLiteral("LD_PRELOAD"), library);
        faked.insert(QStringLiteral("FAKETIME_TIMESTAMP_FILE"), offsetFile);
        faked.insert(QStringLiteral("FAKETIME_CACHE_DURATION"), QStringLiteral("1"));
        faked.insert(QStringLiteral("DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
        // The sanitizer's runtime would otherwise refuse a library loaded ahead of it.
        faked.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0:verify_asan_link_order=0"));
        h.start(faked);
        // The first poll, two seconds after the start, reports the folders; the step comes after it.
        QVERIFY2(h.waitForLine(QStringLiteral("[harkwell] capture: [Recorder] access ->"), 30000), qPrintable(logText()));
        setOffset("-1h");

        // Each file dropped after the step is taken by a poll of its own, so the third needs polls
        // scheduled after the step.
        for (const QString& name : {QStringLiteral("first.wav"), QStringLiteral("second.wav"), QStringLiteral("third.wav")}) {
            QFile memo(h.folders.at(0) + QLatin1Char('/') + name);
            QVERIFY(memo.open(QIODevice::WriteOnly));
            memo.write(wav(1.0));
            memo.close();
            QVERIFY2(h.waitForLine(QStringLiteral("[harkwell] capture: [Phone] new file -- ") + name, 60000),
                     qPrintable(logText().mid(h.logBefore)));
        }
        ::kill(pid_t(h.process.processId()), SIGTERM);
        QVERIFY(h.process.waitForFinished(20000));
    }

    void everyRecordingEndsAsOneNoteWhateverHappensToTheProcess()
    {
        const int files = setting("HARKWELL_CRASH_FILES", 4);
        const int lives = setting("HARKWELL_CRASH_LIVES", 3);
        std::mt19937 random(quint32(setting("HARKWELL_CRASH_SEED", 12)));
        auto chance = [&](int percent) { return int(random() % 100) < percent; };

        Harness h;
        // The service turns an upload's task into a source by itself, so a start after a kill finds
        // it in the list of sources whether or not its task was polled.
        h.service.setTaskReadyAfterMs(1000);
        QHash<QByteArray, int> accepted;  // content digest → uploads the service took
        h.service.setInterference([&](const RecordedRequest& request) {
            FakeInterference interference;
            interference.extraDelayMs = chance(30) ? int(random() % 1500) : 0;
            if (chance(10))
                interference.instead = FakeReply{500, R"({"detail":"busy"})"};
            else if (chance(8))
                interference.instead = FakeReply{200, {}, 0, {}, /*dropConnection*/ true};
            else if (request.method == "POST" && request.path == QLatin1String("sources")) {
                interference.dropAfterHandling = chance(15);
                if (const auto file = request.formPart(QStringLiteral("file")))
                    ++accepted[digest(file->data)];
            }
            return interference;
        });

        // The folders are indexed empty by a first run, so everything after that is new.
        QSet<QByteArray> dropped;
        int next = 0;
        auto drop = [&](int count) {
            for (int i = 0; i < count && next < files; ++i, ++next) {
                const QByteArray bytes = wav(1.0, next);
                const QString folder = h.folders.at(next % h.folders.size());
                QFile file(folder + QStringLiteral("/memo-%1.wav").arg(next));
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(bytes);
                file.close();
                dropped.insert(digest(bytes));
            }
        };

        const int perLife = (files + lives - 1) / lives;
        for (int life = 0; life < lives; ++life) {
            h.start();
            QVERIFY2(h.waitForLine(QStringLiteral("capture: coordinator started"), 30000), qPrintable(logText()));
            drop(perLife);
            QTest::qWait(1000 + int(random() % 6000));
            const bool term = chance(50);
            ::kill(pid_t(h.process.processId()), term ? SIGTERM : SIGKILL);
            QVERIFY(h.process.waitForFinished(20000));
            if (term)
                QCOMPARE(h.process.exitStatus(), QProcess::NormalExit);
        }
        drop(files);

        // Clean runs against a healthy service carry everything to its end: what a run left failed
        // (an upload refused by the flaky service) is taken up again by the next start.
        h.service.setInterference({});
        const InboxWriter inbox(h.vault);
        auto allDone = [&] {
            const QStringList notes = QDir(inbox.inboxFolder()).entryList({QStringLiteral("*.md")}, QDir::Files);
            if (notes.size() < files)
                return false;
            for (const QString& name : notes) {
                const auto note = InboxWriter::readFrontmatter(inbox.inboxFolder() + QLatin1Char('/') + name);
                if (!note || note->mirelonJobStatus != QLatin1String("done"))
                    return false;
            }
            return true;
        };
        bool finished = false;
        for (int clean = 0; clean < 3 && !finished; ++clean) {
            h.start();
            finished = QTest::qWaitFor(allDone, 30000 + files * 2500);
            ::kill(pid_t(h.process.processId()), SIGTERM);
            QVERIFY(h.process.waitForFinished(20000));
            QCOMPARE(h.process.exitStatus(), QProcess::NormalExit);
        }

        // Every recording: one note, one audio copy, its transcript; nothing else, nothing twice.
        Figures figures;
        figures.filesIn = int(dropped.size());
        QHash<QByteArray, int> notesByContent;
        QStringList unfinished;
        const QStringList notes = QDir(inbox.inboxFolder()).entryList({QStringLiteral("*.md")}, QDir::Files);
        figures.notesOut = int(notes.size());
        for (const QString& name : notes) {
            const auto note = InboxWriter::readFrontmatter(inbox.inboxFolder() + QLatin1Char('/') + name);
            QVERIFY2(note.has_value(), qPrintable(name));
            if (note->mirelonJobStatus != QLatin1String("done"))
                unfinished.append(name + QLatin1Char('=') + note->mirelonJobStatus.value_or(QStringLiteral("(none)")));
            ++notesByContent[digest(readAll(h.vault + QLatin1Char('/') + note->audioPath))];
        }
        for (const QByteArray& content : dropped) {
            const int count = notesByContent.value(content);
            figures.lost += count == 0 ? 1 : 0;
            figures.duplicated += count > 1 ? count - 1 : 0;
        }
        for (int times : accepted)
            figures.acceptedTwice += times > 1 ? 1 : 0;
        const QStringList copies = QDir(inbox.audioFolder()).entryList(QDir::Files | QDir::Hidden);
        const QStringList leftovers = QDir(inbox.inboxFolder()).entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden);

        qInfo("crash test: %d files in, %d notes out, %d lost, %d duplicated, %d uploads accepted twice, %d audio copies",
              figures.filesIn, figures.notesOut, figures.lost, figures.duplicated, figures.acceptedTwice, int(copies.size()));
        if (!finished)
            qWarning("%s", qPrintable(logText()));
        QVERIFY2(finished, qPrintable(unfinished.join(QLatin1Char(' '))));
        QCOMPARE(figures.lost, 0);
        QCOMPARE(figures.duplicated, 0);
        QCOMPARE(figures.notesOut, figures.filesIn);
        QCOMPARE(int(copies.size()), figures.filesIn);  // no hidden temporary among them
        QCOMPARE(leftovers, QStringList{});
    }
};

QTEST_GUILESS_MAIN(CaptureCrashTest)
#include "tst_capture_crash.moc"
