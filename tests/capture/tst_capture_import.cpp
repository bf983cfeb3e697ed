// Sending recordings already in Voice Memos, and keeping Voice Memos running.

#include "CaptureFixtures.h"
#include "capture/CaptureImport.h"
#include "capture/VoiceMemosKeeper.h"
#include "platform/apps/FakeApplicationLauncher.h"
#include "platform/filesystem/FakeFileSystem.h"
#include "support/TempHome.h"

#include <cerrno>
#include <ctime>

using namespace harkwell;
using namespace std::chrono_literals;
using test::logText;

namespace {

const QString kRecordings = QStringLiteral("Library/Group Containers/group.com.apple.VoiceMemos.shared/Recordings/");
const QString kKeeperNotFound = QStringLiteral("[harkwell] voice memos keeper: Voice Memos.app not found");

QDateTime localDay(int y, int m, int d) { return QDateTime(QDate(y, m, d), QTime(0, 30), Qt::LocalTime); }

}  // namespace

class CaptureImportTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // Half past midnight in Berlin is the day before in UTC: the cut-off must be the local day.
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    void listsRecordingsFromTheirDay_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QDateTime>("since");  // invalid: no date
        QTest::addColumn<QStringList>("names");
        const QStringList mixed{"20250301 090000.m4a", "20250228 235959.m4a", "Memo.WAV", "x.qta", ".20250302 hidden.m4a",
                                "notes.txt", "123.m4a", "+2026031.wav"};
        QTest::newRow("all, sorted, any case of extension")
            << mixed << QDateTime() << QStringList{"+2026031.wav", "123.m4a", "20250228 235959.m4a", "20250301 090000.m4a", "Memo.WAV"};
        QTest::newRow("from 1 March 2025") << mixed << localDay(2025, 3, 1)
                                           << QStringList{"20250301 090000.m4a"};  // "+2026031" reads as a number but sorts below
        QTest::newRow("empty folder") << QStringList{} << QDateTime() << QStringList{};
        QTest::newRow("nothing of audio") << QStringList{".a.m4a", "b.txt"} << QDateTime() << QStringList{};
    }
    void listsRecordingsFromTheirDay()
    {
        QFETCH(QStringList, files);
        QFETCH(QDateTime, since);
        QFETCH(QStringList, names);
        test::TempHome home;
        home.make(kRecordings);
        for (const QString& file : files)
            home.writeFile(kRecordings + file, "x");

        const auto recordings = CaptureImport::voiceMemosRecordings(since.isValid() ? std::optional(since) : std::nullopt);
        QVERIFY(recordings.has_value());
        QCOMPARE(recordings->names, names);
        QCOMPARE(recordings->folder.id, "voice-memos");
        QCOMPARE(recordings->folder.displayName, "Voice Memos");
        QCOMPARE(recordings->folder.normaliser, WatchedFolder::Normaliser::VoiceMemos);
        QCOMPARE(recordings->folder.path, Paths::voiceMemosFolder());
    }

    void queuesByForgettingAndReportsWhatWasSeen()
    {
        test::TempHome home;
        FakeClock clock;
        CaptureStateStore store(Paths::stateFile(), Paths::legacyWatcherStateFile(), clock);
        home.writeFile(kRecordings + "20250301 090000.m4a", "x");
        home.writeFile(kRecordings + "20250302 090000.m4a", "x");
        store.markSeen("20250301 090000.m4a", "250301-090000", "voice-memos", clock.now());

        const auto result = CaptureImport::queueExisting(std::nullopt, store);
        QVERIFY(result.has_value());
        QCOMPARE(result->folderPath, Paths::voiceMemosFolder());
        QCOMPARE(result->queued, 2);
        QCOMPARE(result->previouslySeen, 1);
        QVERIFY(!store.hasSeen("20250301 090000.m4a", "voice-memos"));
        QCOMPARE(store.seenCount("voice-memos"), 1);  // the index marker keeps the folder from being indexed away
        QVERIFY(logText().contains(QString("[harkwell] capture import: 2 recordings from %1 queued (1 were marked seen)")
                                       .arg(Paths::voiceMemosFolder())));
    }

    void nothingToQueueTouchesNothing()
    {
        test::TempHome home;
        home.make(kRecordings);
        CaptureStateStore store(Paths::stateFile(), Paths::legacyWatcherStateFile());
        const auto result = CaptureImport::queueExisting(std::nullopt, store);
        QCOMPARE(result->queued, 0);
        QCOMPARE(result->previouslySeen, 0);
        QVERIFY(!QFile::exists(Paths::stateFile()));
        QVERIFY(!logText().contains("capture import"));
    }

    void unreadableFolderFailsBeforeAnyChange()
    {
        test::TempHome home;
        home.writeFile(kRecordings + "20250301 090000.m4a", "x");
        FakeFileSystem files;
        files.denyListing(Paths::voiceMemosFolder(), EACCES);
        CaptureStateStore store(Paths::stateFile(), Paths::legacyWatcherStateFile());
        const auto result = CaptureImport::queueExisting(std::nullopt, store, files);
        QVERIFY(!result.has_value());
        QCOMPARE(result.error().path, Paths::voiceMemosFolder());
        QCOMPARE(result.error().text(), "Cannot read the Voice Memos folder: Permission denied");
        QVERIFY(!QFile::exists(Paths::stateFile()));

        // A folder that is not there at all is unreadable too.
        QDir(Paths::voiceMemosFolder()).removeRecursively();
        QVERIFY(!CaptureImport::voiceMemosRecordings(std::nullopt).has_value());
    }

    void keeperChecksAfterOneSecondThenEveryFiveMinutes()
    {
        test::TempHome home;
        FakeClock clock;
        FakeApplicationLauncher launcher;
        VoiceMemosKeeper keeper(launcher, clock);
        keeper.start();
        keeper.start();
        QCOMPARE(clock.pendingSleepers(), 1);

        // Not installed: every check says so and nothing else happens.
        clock.advance(999ms);
        QCOMPARE(clock.pendingSleepers(), 1);
        clock.advance(1ms);
        QTRY_COMPARE(logText().count(kKeeperNotFound), 1);
        QTRY_COMPARE(clock.pendingSleepers(), 1);
        clock.advance(VoiceMemosKeeper::kCheckInterval);
        QTRY_COMPARE(logText().count(kKeeperNotFound), 2);

        // Installed and running: nothing launched, nothing logged.
        launcher.setInstalled(VoiceMemosKeeper::kBundleIdentifier, "/Applications/VoiceMemos.app");
        launcher.setRunning(VoiceMemosKeeper::kBundleIdentifier, true);
        QTRY_COMPARE(clock.pendingSleepers(), 1);
        clock.advance(VoiceMemosKeeper::kCheckInterval);
        QTRY_COMPARE(clock.pendingSleepers(), 1);
        QVERIFY(launcher.launched().isEmpty());

        // Quit by the user: started again, hidden, at the next check; a failure is logged with its reason.
        launcher.setRunning(VoiceMemosKeeper::kBundleIdentifier, false);
        clock.advance(VoiceMemosKeeper::kCheckInterval);
        QTRY_VERIFY(logText().contains("[harkwell] voice memos keeper: launched Voice Memos (hidden)"));
        QCOMPARE(launcher.launched(), QStringList{"/Applications/VoiceMemos.app"});
        launcher.setLaunchError(QString("The application could not be opened."));
        QTRY_COMPARE(clock.pendingSleepers(), 1);
        clock.advance(VoiceMemosKeeper::kCheckInterval);
        QTRY_VERIFY(logText().contains("[harkwell] voice memos keeper: launch failed -- The application could not be opened."));

        keeper.stop();
        keeper.stop();
        QTRY_COMPARE(clock.pendingSleepers(), 1);
        clock.advance(1h);
        QTest::qWait(0);
        QCOMPARE(launcher.launched().size(), 2);
        const QString log = logText();
        QCOMPARE(log.count("[harkwell] voice memos keeper: on (check every 300s)"), 1);
        QCOMPARE(log.count("[harkwell] voice memos keeper: off"), 1);
        QCOMPARE(log.count(kKeeperNotFound), 2);
    }

    void linuxDesktopNeverFindsVoiceMemos()
    {
        test::TempHome home;
        FakeClock clock;
        VoiceMemosKeeper keeper(ApplicationLauncher::system(), clock);
        keeper.start();
        clock.advance(1s);
        QTRY_VERIFY(logText().contains(kKeeperNotFound));
        keeper.stop();
    }
};

QTEST_GUILESS_MAIN(CaptureImportTest)
#include "tst_capture_import.moc"
