// The guards a new file passes, the duration probe and its limit, and the folder watcher's index and poll.

#include "CaptureFixtures.h"
#include "capture/CaptureGuards.h"
#include "capture/FilenameNormaliser.h"
#include "capture/FolderWatcher.h"
#include "platform/filesystem/FakeFileSystem.h"
#include "platform/media/FakeDurationProbe.h"
#include "platform/media/FfmpegDurationProbe.h"
#include "support/TempHome.h"

#include <QStandardPaths>
#include <QProcess>

#include <cerrno>
#include <sys/stat.h>
#include <ctime>

using namespace harkwell;
using namespace std::chrono_literals;
using test::logText;
using test::wav;

namespace {

// A watched folder in a temporary home, with the ledger, the fakes and a manual clock around it.
struct WatchedFixture {
    explicit WatchedFixture(WatchedFolder watched) : folder(std::move(watched))
    {
        folderPath = folder.id == QLatin1String(WatchedFolder::kVoiceMemosId) ? Paths::voiceMemosFolder()
                                                                              : Paths::expandTilde(folder.path);
        QDir().mkpath(folderPath);
    }
    // Lines still on their way to the log would land in a home that is being removed.
    ~WatchedFixture() { HarkwellLog::waitUntilWritten(); }
    WatchedFixture(WatchedFixture&&) = delete;

    static WatchedFixture generic(QStringList extensions = {})
    {
        WatchedFolder folder = WatchedFolder::generic(QStringLiteral("~/Inbox"), QStringLiteral("Inbox"));
        folder.extensions = std::move(extensions);
        return WatchedFixture(folder);
    }
    static WatchedFixture voiceMemos() { return WatchedFixture(WatchedFolder::defaultVoiceMemos(true)); }

    QString write(const QString& name, const QByteArray& content, std::optional<QDateTime> modified = std::nullopt) const
    {
        const QString path = folderPath + QLatin1Char('/') + name;
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(content);
        file.flush();  // before the time is set: a later flush would move it again
        if (modified)
            file.setFileTime(*modified, QFileDevice::FileModificationTime);
        return path;
    }
    std::optional<QList<FolderWatcher::NewCapture>> poll() { return test::runPoll(watcher, clock); }

    test::TempHome home;  // first: the paths below are in it
    WatchedFolder folder;
    QString folderPath;
    FakeClock clock;
    FakeFileSystem files;
    FfmpegDurationProbe durations;
    CaptureStateStore store{Paths::stateFile(), Paths::legacyWatcherStateFile(), clock};
    FolderWatcher watcher{folder, store, CaptureProbes{files, durations, clock}};
};

QDateTime local(int y, int mo, int d, int h, int mi, int s) { return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime); }

}  // namespace

class FolderWatcherTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    void parsesAfinfoOutput_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<double>("seconds");  // negative: nothing
        QTest::newRow("one line with fields") << "3.250 sec, 44100 Hz\n" << 3.25;
        QTest::newRow("leading blanks") << "  \t 3.250 sec" << 3.25;
        QTest::newRow("named line passed over") << "rec.m4a: 9.0 sec\n1.5 sec\n" << 1.5;
        QTest::newRow("the word seconds") << "2 seconds" << 2.0;
        QTest::newRow("capital S") << "2 Sec" << -1.0;
        QTest::newRow("no blank before sec") << "2sec" << -1.0;
        QTest::newRow("empty") << "" << -1.0;
        QTest::newRow("no qualifying line") << "format: aac\nbits: 0\n" << -1.0;
        QTest::newRow("carriage returns split lines") << "x: 1 sec\r0.25 sec" << 0.25;
    }
    void parsesAfinfoOutput()
    {
        QFETCH(QString, output);
        QFETCH(double, seconds);
        const std::optional<double> parsed = CaptureGuards::parseDuration(output);
        QCOMPARE(parsed.has_value(), seconds >= 0);
        if (parsed)
            QCOMPARE(*parsed, seconds);
    }

    void probesDurationOfRealFiles()
    {
        test::TempHome home;
        FfmpegDurationProbe probe;
        QCOMPARE(probe.duration(home.writeFile("short.wav", wav(0.3))).value_or(-1), 0.3);
        QVERIFY(!probe.duration(home.writeFile("junk.m4a", "not audio at all")).has_value());
        QVERIFY(!probe.duration(home.path() + "/absent.wav").has_value());

        const QString ffmpeg = QStandardPaths::findExecutable("ffmpeg");
        if (ffmpeg.isEmpty())
            QSKIP("ffmpeg is not installed: no AAC fixture");
        const QString m4a = home.path() + "/tone.m4a";
        QProcess encoder;
        encoder.start(ffmpeg, {"-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=1.5", "-c:a", "aac", m4a});
        QVERIFY(encoder.waitForFinished(30000) && encoder.exitCode() == 0);
        QVERIFY(std::abs(probe.duration(m4a).value_or(-1) - 1.5) < 0.1);
    }

    void durationProbeGivesUpAtItsLimit()
    {
        test::TempHome home;
        FakeClock clock;
        FakeFileSystem files;
        FakeDurationProbe durations;
        const QString path = home.writeFile("stuck.m4a", "x");
        durations.hang(path);
        CaptureGuards guards(CaptureProbes{files, durations, clock});

        std::optional<std::optional<double>> answer;
        auto done = guards.duration(path).then([&](std::optional<double> seconds) { answer = seconds; });
        QTRY_COMPARE(durations.calls(), 1);
        clock.advance(CaptureGuards::kDurationProbeLimit - 1ms);
        QTest::qWait(0);
        QVERIFY(!answer.has_value());
        clock.advance(1ms);
        QTRY_VERIFY(answer.has_value());
        QVERIFY(!answer->has_value());
        QVERIFY(logText().contains("[harkwell] capture: duration probe gave no answer within 10s, treating as unreadable: " + path));
        durations.release();

        // An answer before the limit is taken as it is.
        durations.setDuration(path, 4.0);
        answer.reset();
        auto second = guards.duration(path).then([&](std::optional<double> seconds) { answer = seconds; });
        QTRY_VERIFY(answer.has_value());
        QCOMPARE(answer->value_or(-1), 4.0);
    }

    void guardsDeferOrPassOver_data()
    {
        QTest::addColumn<QString>("kind");    // "generic", "qta" (extensions qta only) or "voice-memos"
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("fault");   // what the world does to the file
        QTest::addColumn<QString>("outcome"); // "defer", "skip" or the capture id
        QTest::addColumn<QString>("logLine");

        const QByteArray second = wav(1.0);
        QTest::newRow("unreadable size") << "generic" << "a.m4a" << second << "failStat" << "defer"
                                         << "[harkwell] capture: [Inbox] deferring a.m4a (cannot stat file)";
        QTest::newRow("0 bytes") << "generic" << "a.m4a" << QByteArray() << "" << "defer"
                                 << "[harkwell] capture: [Inbox] deferring a.m4a (0-byte file, sync in flight)";
        QTest::newRow("qta with its m4a twin") << "qta" << "memo.qta" << second << "twin" << "skip"
                                               << "[harkwell] capture: [Inbox] skipping memo.qta (memo.m4a is the canonical twin)";
        QTest::newRow("young qta") << "qta" << "memo.qta" << second << "age 42" << "defer"
                                   << "[harkwell] capture: [Inbox] deferring memo.qta (young .qta (42s < 600s), may still be recording)";
        QTest::newRow("old qta goes on") << "qta" << "memo.qta" << second << "age 700" << "260304-094820"
                                         << "[harkwell] capture: [Inbox] new file -- memo.qta -> 260304-094820";
        QTest::newRow("growing file") << "generic" << "a.m4a" << second << "grow" << "defer"
                                      << "[harkwell] capture: [Inbox] deferring a.m4a (size still changing)";
        // A writer that stops for a moment is not cut off: the file is taken only once it has stood
        // still for the whole quiet period, and then as the guards last saw it.
        QTest::newRow("writer pauses, then goes on") << "generic" << "a.m4a" << second << "pause" << "defer"
                                                     << "[harkwell] capture: [Inbox] deferring a.m4a (size still changing)";
        QTest::newRow("writer pauses 2 s, then ends") << "generic" << "a.m4a" << second << "pause 2s" << "260304-100000"
                                                      << "[harkwell] capture: [Inbox] new file -- a.m4a -> 260304-100000";
        QTest::newRow("vanishes during re-check") << "generic" << "a.m4a" << second << "lose" << "defer"
                                                  << "[harkwell] capture: [Inbox] deferring a.m4a (size still changing)";
        QTest::newRow("too short") << "generic" << "short.wav" << wav(0.31) << "" << "skip"
                                   << "[harkwell] capture: [Inbox] skipping short.wav (audio too short (0.31s < 0.50s))";
        QTest::newRow("unreadable duration passes") << "generic" << "a.m4a" << QByteArray("no audio") << "" << "240301-102030"
                                                    << "[harkwell] capture: [Inbox] new file -- a.m4a -> 240301-102030";
        QTest::newRow("unparseable Voice Memos name") << "voice-memos" << "Recording 1.m4a" << second << "" << "skip"
                                                      << "[harkwell] capture: [Voice Memos] unparseable name, marking seen: Recording 1.m4a";
        QTest::newRow("Voice Memos WAV is unparseable") << "voice-memos" << "20240115 143022.wav" << second << "" << "skip"
                                                        << "[harkwell] capture: [Voice Memos] unparseable name, marking seen: 20240115 143022.wav";
        QTest::newRow("Voice Memos recording") << "voice-memos" << "20240115 143022-3F2A1B.m4a" << second << "" << "240115-143022"
                                               << "[harkwell] capture: [Voice Memos] new file -- 20240115 143022-3F2A1B.m4a -> 240115-143022";
    }
    void guardsDeferOrPassOver()
    {
        QFETCH(QString, kind);
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, fault);
        QFETCH(QString, outcome);
        QFETCH(QString, logLine);

        WatchedFixture f = kind == "voice-memos" ? WatchedFixture::voiceMemos()
                                                 : WatchedFixture::generic(kind == "qta" ? QStringList{"QTA"} : QStringList{});
        QDateTime modified = local(2024, 3, 1, 10, 20, 30);
        if (fault.startsWith("age "))
            modified = f.clock.now().addSecs(-fault.mid(4).toInt());
        if (fault.startsWith("pause"))
            modified = f.clock.now();  // written just now
        const QString path = f.write(name, content, modified);
        if (fault == "failStat")
            f.files.failStat(path);
        if (fault == "twin")
            f.write("memo.m4a", content);
        if (fault == "grow")
            f.files.scriptSizes(path, {10, 20, 30, 40, 50, 60, 70});
        if (fault == "lose")
            f.files.loseAfterFirstStat(path);
        if (fault == "pause")  // still for 4 s, then it grows again
            f.files.scriptSizes(path, {1000, 1000, 1000, 2000});
        if (fault == "pause 2s")
            f.files.scriptSizes(path, {1000, 1000, 2000});

        const auto found = f.poll();
        QVERIFY(found.has_value());
        const QString log = logText();
        QVERIFY2(log.contains(logLine), qPrintable(log));

        if (outcome == "defer") {
            QVERIFY(found->isEmpty());
            QVERIFY(!f.store.hasSeen(name, f.folder.id));
        } else if (outcome == "skip") {
            QVERIFY(found->isEmpty());
            QCOMPARE(f.store.snapshot().seenByFolder[f.folder.id].value(name).canonicalId, QString());
            QVERIFY(f.store.hasSeen(name, f.folder.id));
        } else {
            QCOMPARE(found->size(), 1);
            QCOMPARE(found->first().canonicalId, outcome);
            QCOMPARE(found->first().sourceUrl, QUrl::fromLocalFile(path));
            QCOMPARE(found->first().folderId, f.folder.id);
            QCOMPARE(FilenameNormaliser::canonicalId(found->first().timestamp), outcome);
            QVERIFY(found->first().settled.has_value());
            QCOMPARE(found->first().settled->size, fault == "pause 2s" ? 2000 : qint64(QFileInfo(path).size()));
            // A file long at rest costs one re-check; one just written waits out the quiet period.
            QCOMPARE(test::requestedPauses(f.clock, CaptureGuards::kRecheckPause), fault == "pause 2s" ? 5 : 1);
            // Held for this run only: its taker records it once its copy and note exist.
            QVERIFY(f.store.hasSeen(name, f.folder.id));
            QVERIFY(!f.store.snapshot().seenByFolder[f.folder.id].contains(name));
        }
        if (fault == "grow")
            QCOMPARE(test::requestedPauses(f.clock, CaptureGuards::kRecheckPause), CaptureGuards::kMaxRechecks);
    }

    void deferredFileIsTakenOnceItSettles()
    {
        WatchedFixture f = WatchedFixture::generic();
        const QString path = f.write("a.wav", QByteArray(), local(2024, 3, 1, 10, 20, 30));
        QVERIFY(f.poll()->isEmpty());
        QVERIFY(f.poll()->isEmpty());
        f.write("a.wav", wav(1.0), local(2024, 3, 1, 10, 20, 30));
        QCOMPARE(f.poll()->size(), 1);
        QVERIFY(f.poll()->isEmpty());
        QCOMPARE(logText().count("deferring a.wav (0-byte file, sync in flight)"), 1);
        Q_UNUSED(path);
    }

    // Objects that cannot be taken as they stand are said once, not at every poll, cost no pause and
    // are looked at again on a doubling back-off; a change to the file ends the wait at once.
    void oddFilesAreSaidOnceAndTriedOnABackOff_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("FIFO") << "fifo" << "not a regular file";
        QTest::newRow("empty file") << "empty" << "0-byte file, sync in flight";
        QTest::newRow("no read permission") << "unreadable" << "cannot read file: Permission denied";
        QTest::newRow("cannot stat") << "nostat" << "cannot stat file";
    }
    void oddFilesAreSaidOnceAndTriedOnABackOff()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        WatchedFixture f = WatchedFixture::generic();
        QCOMPARE(f.watcher.runInitialIndex(), 0);
        const QString path = f.folderPath + "/a.m4a";
        if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
        } else if (kind == "empty") {
            f.write("a.m4a", QByteArray(), local(2024, 3, 1, 10, 20, 30));
        } else {
            f.write("a.m4a", wav(1.0), local(2024, 3, 1, 10, 20, 30));
            if (kind == "unreadable") {
                QVERIFY(QFile::setPermissions(path, {}));
                f.files.failOpen(path, EACCES);  // root reads a file whatever its mode says
            } else {
                f.files.failStat(path);
            }
        }

        for (int poll = 1; poll <= 8; ++poll)
            QVERIFY(f.poll()->isEmpty());
        const QString log = logText();
        QCOMPARE(log.count("deferring a.m4a"), 1);
        QVERIFY2(log.contains("[harkwell] capture: [Inbox] deferring a.m4a (" + reason + ")"), qPrintable(log));
        QVERIFY(!f.store.hasSeen("a.m4a", f.folder.id));
        QCOMPARE(test::requestedPauses(f.clock, CaptureGuards::kRecheckPause), 0);

        // Polls 7 to 10 wait; made whole at poll 9, it is taken there.
        f.files.clearFaults();
        QFile::remove(path);
        f.write("a.m4a", wav(1.0), local(2024, 3, 2, 10, 20, 30));
        const auto found = f.poll();
        QCOMPARE(found->size(), 1);
        QCOMPARE(found->first().canonicalId, "240302-102030");
    }

    // A symbolic link in a watched folder is never followed, wherever it leads (a private file
    // outside, nowhere, a file beside it), and is said once, not at every poll; what it points at
    // is taken only where it stands as a file of the folder itself.
    void symbolicLinksAreSkippedAndSaidOnce()
    {
        WatchedFixture f = WatchedFixture::generic();
        QCOMPARE(f.watcher.runInitialIndex(), 0);
        f.home.writeFile("private.txt", "private notes");
        const QString real = f.write("real.m4a", wav(1.0), local(2024, 3, 1, 10, 20, 30));
        QVERIFY(QFile::link(f.home.path() + "/private.txt", f.folderPath + "/private.m4a"));
        QVERIFY(QFile::link(f.home.path() + "/nowhere.m4a", f.folderPath + "/dangling.m4a"));
        QVERIFY(QFile::link(real, f.folderPath + "/alias.m4a"));

        QStringList taken;
        for (int poll = 0; poll < 4; ++poll) {
            const auto found = f.poll();
            QVERIFY(found.has_value());
            for (const FolderWatcher::NewCapture& capture : *found) {
                taken << capture.sourceUrl.fileName();
                f.store.markSeen(capture.sourceUrl.fileName(), capture.canonicalId, f.folder.id, f.clock.now());
            }
        }
        QCOMPARE(taken, QStringList{"real.m4a"});
        const QString log = logText();
        for (const char* link : {"private.m4a", "dangling.m4a", "alias.m4a"}) {
            QCOMPARE(log.count(QStringLiteral("[harkwell] capture: [Inbox] ignoring %1 (a symbolic link; links are not followed)").arg(link)), 1);
            QCOMPARE(log.count(QString::fromLatin1(link)), 1);
            QVERIFY(!f.store.hasSeen(link, f.folder.id));
        }

        // Put in place of a file that is being checked, a link is refused there too.
        f.write("swapped.m4a", wav(1.0), local(2024, 3, 1, 10, 20, 30));
        auto swapping = f.watcher.poll();
        QTRY_VERIFY(test::requestedPauses(f.clock, CaptureGuards::kRecheckPause) > 0);
        QVERIFY(QFile::remove(f.folderPath + "/swapped.m4a"));
        QVERIFY(QFile::link(f.home.path() + "/private.txt", f.folderPath + "/swapped.m4a"));
        std::optional<QList<FolderWatcher::NewCapture>> found;
        auto done = std::move(swapping).then([&](QList<FolderWatcher::NewCapture> result) { found = std::move(result); });
        QTRY_VERIFY((f.clock.advance(CaptureGuards::kRecheckPause), found.has_value()));
        QVERIFY(found->isEmpty());
        QVERIFY(!f.store.hasSeen("swapped.m4a", f.folder.id));
    }

    // Names the file system holds as bytes that are not UTF-8 are captured under those bytes, each
    // under a ledger key of its own that survives a restart.
    void namesThatAreNotUtf8AreCapturedEachUnderItsOwnKey()
    {
        WatchedFixture f = WatchedFixture::generic();
        QCOMPARE(f.watcher.runInitialIndex(), 0);
        const QByteArray folder = FileNames::native(f.folderPath);
        const QList<QByteArray> names{"\xff\xfe.m4a", "\xfe\xff.m4a", "\xef\xbf\xbd\xef\xbf\xbd.m4a", "caf\xe9.m4a"};
        QStringList paths;
        for (const QByteArray& name : names)
            paths << test::writeNative(folder + '/' + name, wav(1.0), local(2024, 3, 1, 10, 20, 30));

        const auto found = f.poll();
        QVERIFY(found.has_value());
        QCOMPARE(found->size(), names.size());
        QSet<QByteArray> sources;
        for (const FolderWatcher::NewCapture& capture : *found) {
            sources.insert(FileNames::native(capture.sourceUrl.toLocalFile()));
            f.store.markSeen(QFileInfo(capture.sourceUrl.toLocalFile()).fileName(), capture.canonicalId, f.folder.id, f.clock.now());
        }
        QCOMPARE(sources.size(), names.size());
        for (const QByteArray& name : names)
            QVERIFY(sources.contains(folder + '/' + name));
        QVERIFY(!logText().contains("cannot stat file"));
        QVERIFY(logText().contains("[harkwell] capture: [Inbox] new file -- \\xFF\\xFE.m4a -> 240301-102030"));

        CaptureStateStore restarted(Paths::stateFile(), Paths::legacyWatcherStateFile(), f.clock);
        for (const QByteArray& name : names)
            QVERIFY2(restarted.hasSeen(FileNames::text(name), f.folder.id), name.toHex().constData());
        QCOMPARE(restarted.seenCount(f.folder.id), names.size() + 1);  // and the index marker
    }

    void initialIndexMarksWhatIsThereAndOnlyNewFilesBecomeCaptures()
    {
        WatchedFixture f = WatchedFixture::voiceMemos();
        f.write("20240115 143022-3F2A1B.m4a", wav(1.0));
        f.write("Recording 1.m4a", wav(1.0));
        f.write(".hidden.m4a", wav(1.0));
        f.write("notes.txt", "x");
        QDir(f.folderPath).mkdir("folder.m4a");

        QCOMPARE(f.watcher.runInitialIndex(), 2);
        QVERIFY(logText().contains("[harkwell] capture: [Voice Memos] initial index complete (2 existing files marked seen)"));
        const auto seen = f.store.snapshot().seenByFolder["voice-memos"];
        QCOMPARE(seen.keys(), (QStringList{".harkwell-index-done", "20240115 143022-3F2A1B.m4a", "Recording 1.m4a"}));
        QCOMPARE(seen["20240115 143022-3F2A1B.m4a"].canonicalId, "240115-143022");
        QCOMPARE(seen["Recording 1.m4a"].canonicalId, "");
        QCOMPARE(f.watcher.runInitialIndex(), 0);

        // Nothing new: no pause, no line.
        QVERIFY(f.poll()->isEmpty());
        QCOMPARE(f.clock.requestedSleeps().size(), 0);

        // Two recordings in the same second share an id; the pipeline settles the clash.
        f.write("20240301 102030-AA.m4a", wav(1.0));
        f.write("20240301 102030-BB.m4a", wav(1.0));
        const auto found = f.poll();
        QCOMPARE(found->size(), 2);
        QCOMPARE(found->at(0).canonicalId, "240301-102030");
        QCOMPARE(found->at(1).canonicalId, "240301-102030");
        QCOMPARE(found->at(0).timestamp, local(2024, 3, 1, 10, 20, 30));
        QVERIFY(f.poll()->isEmpty());
    }

    void unreadableFolderYieldsNothing()
    {
        WatchedFixture f = WatchedFixture::generic();
        f.write("a.wav", wav(1.0));
        f.files.denyListing(f.folderPath, EACCES);
        QCOMPARE(f.watcher.accessState(), CaptureAccess::State::denied());
        QCOMPARE(f.watcher.runInitialIndex(), 0);
        QVERIFY(f.poll()->isEmpty());
        QCOMPARE(f.store.seenCount(f.folder.id), 0);

        // Once it can be read, what it holds is new: the folder was never indexed by this watcher's poll.
        f.files.clearFaults();
        QCOMPARE(f.poll()->size(), 1);
    }

    void releasedFileIsTakenAgainWithoutReindexing()
    {
        WatchedFixture f = WatchedFixture::generic();
        f.write("a.wav", wav(1.0), local(2024, 3, 1, 10, 20, 30));
        QCOMPARE(f.poll()->size(), 1);
        QVERIFY(f.poll()->isEmpty());  // held: not offered twice in one run

        // The pipeline could not copy it: it releases the file, and the next poll takes it again.
        f.store.release("a.wav", f.folder.id);
        QCOMPARE(f.watcher.runInitialIndex(), 0);
        const auto again = f.poll();
        QCOMPARE(again->size(), 1);
        QCOMPARE(again->first().canonicalId, "240301-102030");
    }

    // A quit, a logout or a crash between a file passing the guards and its note being written
    // gives the file back at the next start; once its taker marked it seen, it stays taken.
    void fileHandedOnButNotSettledComesBackAfterARestart()
    {
        WatchedFixture f = WatchedFixture::generic();
        QCOMPARE(f.watcher.runInitialIndex(), 0);
        for (const char* name : {"a.wav", "b.wav", "c.wav"})
            f.write(name, wav(1.0), local(2024, 3, 1, 10, 20, 30));
        QCOMPARE(f.poll()->size(), 3);
        f.store.markSeen("b.wav", "240301-102030", f.folder.id, f.clock.now());

        CaptureStateStore restarted(Paths::stateFile(), Paths::legacyWatcherStateFile(), f.clock);
        FolderWatcher watcher(f.folder, restarted, CaptureProbes{f.files, f.durations, f.clock});
        QCOMPARE(watcher.runInitialIndex(), 0);
        const auto again = test::runPoll(watcher, f.clock);
        QVERIFY(again.has_value());
        QStringList names;
        for (const FolderWatcher::NewCapture& capture : *again)
            names.append(capture.sourceUrl.fileName());
        QCOMPARE(names.size(), 2);
        QVERIFY(names.contains("a.wav") && names.contains("c.wav"));
    }

    // Whatever a folder held at its first index, files that arrive while the app is not running are
    // captured at the next start; only a folder that could not be read stays unindexed.
    void initialIndexHoldsAcrossRestarts_data()
    {
        QTest::addColumn<QString>("before");   // what the folder holds at the first start
        QTest::addColumn<bool>("indexed");     // the folder counts as indexed after the first start
        QTest::addColumn<QStringList>("taken");  // names captured at the second start
        QTest::newRow("empty folder") << "empty" << true << QStringList{"arrived.wav"};
        QTest::newRow("folder with audio") << "audio" << true << QStringList{"arrived.wav"};
        QTest::newRow("only other files") << "text" << true << QStringList{"arrived.wav"};
        // Indexed at the second start instead: what stands there then counts as existing.
        QTest::newRow("folder missing at first") << "missing" << false << QStringList{};
        // Files from before the damaged ledger's last write count as indexed; later ones are new.
        QTest::newRow("damaged ledger at the second start") << "damaged" << true << QStringList{"arrived.wav"};
    }
    void initialIndexHoldsAcrossRestarts()
    {
        QFETCH(QString, before);
        QFETCH(bool, indexed);
        QFETCH(QStringList, taken);
        WatchedFixture f = WatchedFixture::generic();
        if (before == "audio" || before == "damaged")
            f.write("old.wav", wav(1.0), local(2024, 3, 1, 10, 20, 30));
        if (before == "text")
            f.write("notes.txt", "x");
        if (before == "missing")
            QDir(f.folderPath).removeRecursively();
        f.watcher.runInitialIndex();
        QCOMPARE(f.store.seenCount(f.folder.id) != 0, indexed);

        QDir().mkpath(f.folderPath);
        f.write("arrived.wav", wav(1.0), local(2024, 3, 2, 10, 20, 30));
        if (before == "damaged") {
            QFile state(Paths::stateFile());
            QVERIFY(state.resize(state.size() / 2));
            QVERIFY(state.open(QIODevice::ReadWrite));
            QVERIFY(state.setFileTime(local(2024, 3, 1, 12, 0, 0), QFileDevice::FileModificationTime));
        }
        CaptureStateStore restarted(Paths::stateFile(), Paths::legacyWatcherStateFile(), f.clock);
        FolderWatcher watcher(f.folder, restarted, CaptureProbes{f.files, f.durations, f.clock});
        watcher.runInitialIndex();
        QVERIFY(restarted.seenCount(f.folder.id) != 0);
        const auto found = test::runPoll(watcher, f.clock);
        QVERIFY(found.has_value());
        QStringList names;
        for (const FolderWatcher::NewCapture& capture : *found)
            names.append(capture.sourceUrl.fileName());
        names.sort();
        QCOMPARE(names, taken);
    }

    // Many files dropped at once wait out one quiet period together, and each is handed on as soon
    // as it is found quiet, ahead of a file in the same batch that is still being written.
    void aBatchOfNewFilesSharesOneQuietPeriod()
    {
        WatchedFixture f = WatchedFixture::generic();
        QCOMPARE(f.watcher.runInitialIndex(), 0);
        const QByteArray audio = wav(0.6);
        const QString growing = f.write("000-growing.wav", audio, f.clock.now());
        f.files.scriptSizes(growing, {10, 20, 30, 40, 50, 60, 70});
        for (int i = 1; i <= 200; ++i)
            f.write(QString("%1.wav").arg(i, 3, 10, QChar('0')), audio, f.clock.now());  // written just now

        const std::chrono::milliseconds started = f.clock.monotonic();
        QStringList handed;
        std::optional<QList<FolderWatcher::NewCapture>> result;
        int pausesWhenAllHanded = -1;
        auto done = f.watcher.poll([&](const FolderWatcher::NewCapture& capture) {
            handed.append(capture.sourceUrl.fileName());
            if (handed.size() == 200)
                pausesWhenAllHanded = test::requestedPauses(f.clock, CaptureGuards::kRecheckPause);
        }).then([&](QList<FolderWatcher::NewCapture> found) { result = std::move(found); });
        int letThrough = 0;
        QVERIFY(QTest::qWaitFor([&] {
            for (; letThrough < test::requestedPauses(f.clock, CaptureGuards::kRecheckPause); ++letThrough)
                f.clock.advance(CaptureGuards::kRecheckPause);
            return result.has_value();
        }, 60000));
        QCOMPARE(result->size(), 200);
        QCOMPARE(handed.size(), 200);
        QVERIFY(!handed.contains("000-growing.wav"));
        // Handed on once quiet (three pauses make the six seconds), not when the growing file gave up.
        QCOMPARE(pausesWhenAllHanded, 3);
        QVERIFY(logText().contains("[harkwell] capture: [Inbox] deferring 000-growing.wav (size still changing)"));
        // The quiet period once for the batch, not a pause per file.
        QCOMPARE(test::requestedPauses(f.clock, CaptureGuards::kRecheckPause), CaptureGuards::kMaxRechecks);
        QVERIFY(f.clock.monotonic() - started <= 90s);
    }

    // A file that grows after it was taken had been taken unfinished: it is taken again. A file whose
    // time alone changes, or that grows long after its capture, is not.
    void aFileThatGrowsAfterItWasTakenIsTakenAgain_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("takenAgain");
        QTest::newRow("writer went on after a pause") << "grow" << true;
        QTest::newRow("only its time changed") << "touch" << false;
        QTest::newRow("grew more than a day later") << "grow a day later" << false;
        QTest::newRow("shrank") << "shrink" << false;
    }
    void aFileThatGrowsAfterItWasTakenIsTakenAgain()
    {
        QFETCH(QString, change);
        QFETCH(bool, takenAgain);
        WatchedFixture f = WatchedFixture::generic();
        QCOMPARE(f.watcher.runInitialIndex(), 0);
        const QByteArray whole = wav(2.0);
        f.write("a.wav", whole.left(whole.size() / 2), f.clock.now().addSecs(-60));
        const auto first = f.poll();
        QCOMPARE(first->size(), 1);
        // Recorded by its taker as the pipeline does, with the size the watcher took it at.
        f.store.markSeen("a.wav", first->first().canonicalId, f.folder.id, f.clock.now());
        QCOMPARE(f.store.entry("a.wav", f.folder.id)->size, qint64(whole.size() / 2));

        f.clock.advance(change == "grow a day later" ? 25h : 40s);
        const QDateTime later = f.clock.now().addSecs(-10);
        if (change == "touch")
            f.write("a.wav", whole.left(whole.size() / 2), later);
        else
            f.write("a.wav", change == "shrink" ? whole.left(100) : whole, later);

        const auto again = f.poll();
        QCOMPARE(again->size(), takenAgain ? 1 : 0);
        const bool said = logText().contains(QString("[harkwell] capture: [Inbox] a.wav grew after it was taken (%1 -> %2 bytes): "
                                                     "the earlier capture %3 came from an unfinished file; taking it again")
                                                 .arg(QString::number(whole.size() / 2), QString::number(whole.size()),
                                                      first->first().canonicalId));
        QCOMPARE(said, takenAgain);
        if (takenAgain) {
            QCOMPARE(again->first().settled->size, qint64(whole.size()));
            f.store.markSeen("a.wav", again->first().canonicalId, f.folder.id, f.clock.now());
            QVERIFY(f.poll()->isEmpty());
        }
        // The size taken survives a restart, in a ledger that older builds still read.
        QFile state(Paths::stateFile());
        QVERIFY(state.open(QIODevice::ReadOnly));
        const QByteArray onDisk = state.readAll();
        QVERIFY(CaptureStateStore::State::decode(onDisk).has_value());
        QVERIFY(onDisk.contains("\"size\""));
    }

    // A folder's name is the user's text: a "%1" in it stays as it is in the log.
    void aFolderNameWithPercentSignsIsLoggedAsItIs()
    {
        WatchedFolder folder = WatchedFolder::generic(QStringLiteral("~/Inbox"), QStringLiteral("Memos %1 %2"));
        WatchedFixture f(folder);
        f.write("a.wav", wav(1.0));
        QCOMPARE(f.watcher.runInitialIndex(), 1);
        QVERIFY2(logText().contains("[harkwell] capture: [Memos %1 %2] initial index complete (1 existing files marked seen)"),
                 qPrintable(logText()));
    }
};

QTEST_GUILESS_MAIN(FolderWatcherTest)
#include "tst_folder_watcher.moc"
