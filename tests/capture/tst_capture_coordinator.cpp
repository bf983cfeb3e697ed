// Folder access states and their texts, one-time notices, and the coordinator's schedule, hand-over
// and access reporting.

#include "CaptureFixtures.h"
#include "capture/CaptureCoordinator.h"
#include "foundation/EnvironmentCheck.h"
#include "platform/defaults/Defaults.h"
#include "platform/filesystem/FakeFileSystem.h"
#include "platform/media/FakeDurationProbe.h"
#include "platform/notifications/FakeNotifications.h"
#include "support/SlowMount.h"
#include "support/TempHome.h"

#include <QDir>

#include <cerrno>
#include <ctime>

using namespace harkwell;
using namespace std::chrono_literals;
using test::logText;
using test::wav;
using Kind = CaptureAccess::State::Kind;

namespace {

// A coordinator over a temporary home: its folders, fakes and a manual clock.
struct CoordinatorFixture {
    CoordinatorFixture() { Notifications::setCurrent(&notifications); }
    ~CoordinatorFixture()
    {
        coordinator.reset();
        Notifications::setCurrent(nullptr);
        HarkwellLog::waitUntilWritten();
    }

    QString addFolder(const QString& name)
    {
        const QString path = home.make(name);
        QMutexLocker locker(&lock);
        folders.append(WatchedFolder::generic(path, name));
        return path;
    }
    int pollCount()
    {
        QMutexLocker locker(&lock);
        return polls;
    }
    QList<FolderWatcher::NewCapture> captured()
    {
        QMutexLocker locker(&lock);
        return captures;
    }
    // Lets fake time run in steps of the re-check pause until the condition holds.
    bool runUntil(const std::function<bool()>& condition)
    {
        return QTest::qWaitFor([&] {
            if (condition())
                return true;
            clock.advance(CaptureGuards::kRecheckPause);
            return false;
        }, 20000);
    }
    void restart()
    {
        coordinator.reset();
        store = std::make_unique<CaptureStateStore>(Paths::stateFile(), Paths::legacyWatcherStateFile(), clock);
        coordinator = makeCoordinator();
    }

    test::TempHome home;
    FakeClock clock;
    FakeFileSystem files;
    FakeDurationProbe durations;
    FakeNotifications notifications;
    QMutex lock;  // guards folders and the three records below, filled on the coordinator's queue
    QList<FolderWatcher::NewCapture> captures;
    int polls = 0;
    QList<CaptureAccess::State> voiceMemosStates;
    QList<WatchedFolder> folders;
    std::unique_ptr<CaptureStateStore> store =
        std::make_unique<CaptureStateStore>(Paths::stateFile(), Paths::legacyWatcherStateFile(), clock);
    std::unique_ptr<CaptureCoordinator> coordinator = makeCoordinator();


private:
    std::unique_ptr<CaptureCoordinator> makeCoordinator()
    {
        auto made = std::make_unique<CaptureCoordinator>(*store, CaptureProbes{files, durations, clock}, [this] {
            QMutexLocker locker(&lock);
            return folders;
        });
        // Takes each capture as the pipeline does once its note exists: marks it seen.
        made->setOnNewCapture([this](const FolderWatcher::NewCapture& capture) {
            store->markSeen(capture.sourceUrl.fileName(), capture.canonicalId, capture.folderId, clock.now());
            QMutexLocker locker(&lock);
            captures.append(capture);
        });
        made->setOnPollFinished([this](int) {
            QMutexLocker locker(&lock);
            ++polls;
        });
        made->setOnVoiceMemosAccess([this](const CaptureAccess::State& state) {
            QMutexLocker locker(&lock);
            voiceMemosStates.append(state);
        });
        return made;
    }
};

}  // namespace

class CaptureCoordinatorTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    void probesAccess_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<CaptureAccess::State>("state");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("logLine");  // empty: no line
        QTest::newRow("disabled, even when absent") << "absent" << false << CaptureAccess::State::notConfigured() << "Capture is off" << "";
        QTest::newRow("absent") << "absent" << true << CaptureAccess::State::missing() << "Voice Memos folder not found" << "";
        QTest::newRow("a file in its place") << "file" << true << CaptureAccess::State::missing() << "Voice Memos folder not found" << "";
        QTest::newRow("hidden and other files only") << "others" << true << CaptureAccess::State::empty()
                                                     << "Voice Memos: readable but no audio files" << "";
        QTest::newRow("one upper-case M4A") << "one" << true << CaptureAccess::State::ok(1) << "Voice Memos: 1 file visible" << "";
        QTest::newRow("twelve") << "twelve" << true << CaptureAccess::State::ok(12) << "Voice Memos: 12 files visible" << "";
        QTest::newRow("permission denied, quietly") << "EACCES" << true << CaptureAccess::State::denied() << "Full Disk Access needed" << "";
        QTest::newRow("not permitted, quietly") << "EPERM" << true << CaptureAccess::State::denied() << "Full Disk Access needed" << "";
        QTest::newRow("other failure is named and logged") << "EIO" << true << CaptureAccess::State::unreadable("Input/output error")
                                                           << "Voice Memos cannot be read: Input/output error"
                                                           << "[harkwell] capture: unexpected error probing %1: Input/output error";
        QTest::newRow("a folder gone stale") << "ESTALE" << true << CaptureAccess::State::unreadable("Stale file handle")
                                             << "Voice Memos cannot be read: Stale file handle"
                                             << "[harkwell] capture: unexpected error probing %1: Stale file handle";
    }
    void probesAccess()
    {
        QFETCH(QString, setup);
        QFETCH(bool, enabled);
        QFETCH(CaptureAccess::State, state);
        QFETCH(QString, summary);
        QFETCH(QString, logLine);
        test::TempHome home;
        FakeFileSystem files;
        const QString folder = home.path() + "/Recordings";
        if (setup == "file")
            home.writeFile("Recordings", "x");
        if (setup == "others") {
            home.writeFile("Recordings/.hidden.m4a", "x");
            home.writeFile("Recordings/notes.txt", "x");
        }
        if (setup == "one")
            home.writeFile("Recordings/A.M4A", "x");
        if (setup == "twelve") {
            for (int i = 0; i < 12; ++i)
                home.writeFile(QString("Recordings/%1.wav").arg(i), "x");
        }
        if (setup.startsWith('E')) {
            home.make("Recordings");
            files.denyListing(folder, setup == "EACCES" ? EACCES : setup == "EPERM" ? EPERM : setup == "EIO" ? EIO : ESTALE);
        }

        const CaptureAccess::State probed = CaptureAccess::check(folder, {"m4a", "wav"}, enabled, files);
        QCOMPARE(probed, state);
        QCOMPARE(probed.summary("Voice Memos"), summary);
        const QString log = logText();
        if (logLine.isEmpty())
            QVERIFY(!log.contains("unexpected error"));
        else
            QVERIFY2(log.contains(logLine.arg(folder)), qPrintable(log));
    }

    void statesTellFileCountsApartAndExplainThemselves()
    {
        QVERIFY(CaptureAccess::State::ok(3) != CaptureAccess::State::ok(4));
        QCOMPARE(CaptureAccess::State::ok(1).explanation(), "harkwell can read the Voice Memos folder (1 file).");
        QCOMPARE(CaptureAccess::State::ok(3).explanation(), "harkwell can read the Voice Memos folder (3 files).");
        QCOMPARE(CaptureAccess::State::notConfigured().explanation(), "Voice Memos capture is switched off in Settings.");
        QVERIFY(CaptureAccess::State::missing().explanation().startsWith("The Voice Memos folder does not exist on this computer."));
        // An empty folder here is an ordinary one: no word of the Mac's cloud-kept recordings.
        const QString empty = CaptureAccess::State::empty().explanation();
        QCOMPARE(empty, "harkwell can read the folder, but it contains no audio files yet. Recordings saved there are sent "
                        "as they appear.");

        const QStringList denied = CaptureAccess::State::denied().explanation().split('\n');
        QCOMPARE(denied.size(), 7);
        QCOMPARE(denied[0], "macOS is blocking harkwell from reading the Voice Memos folder.");
        QVERIFY(denied[1].isEmpty() && denied[5].isEmpty());
        QCOMPARE(denied[2], QString::fromUtf8("1. Click \"Open Full Disk Access settings\u2026\" above."));
        QVERIFY(denied[6].contains(QString::fromUtf8("with the \u2212 button")));
    }

    void notifiesOnceUntilTheFlagIsRemoved()
    {
        test::TempHome home;
        FakeNotifications notifications;
        Notifications::setCurrent(&notifications);
        EnvironmentCheck::notifyOnce("probe", "Title", "Body");
        EnvironmentCheck::notifyOnce("probe", "Title again", "Body again");
        QTRY_COMPARE(notifications.posted().size(), 1);
        QCOMPARE(notifications.posted()[0].identifier, "env.probe");
        QCOMPARE(notifications.posted()[0].title, "Title");
        QCOMPARE(notifications.posted()[0].body, "Body");
        QVERIFY(Defaults::standard().boolValue("harkwell.envNotified.probe"));

        Defaults::standard().remove("harkwell.envNotified.probe");
        EnvironmentCheck::notifyOnce("probe", "Title again", "Body again");
        QTRY_COMPARE(notifications.posted().size(), 2);
        QCOMPARE(notifications.posted()[1].title, "Title again");
        Notifications::setCurrent(nullptr);
    }

    // With no service to show it, or one that refuses it, the notice is still owed.
    void aNoticeNotSentIsOwedStill_data()
    {
        QTest::addColumn<bool>("serviceAnswers");
        QTest::newRow("no notification service") << false;
        QTest::newRow("the service refuses it") << true;
    }
    void aNoticeNotSentIsOwedStill()
    {
        QFETCH(bool, serviceAnswers);
        test::TempHome home;
        FakeNotifications notifications;
        Notifications::setCurrent(&notifications);
        notifications.setAuthorization(serviceAnswers ? NotificationAuthorization::Authorized
                                                      : NotificationAuthorization::NotDetermined);
        if (serviceAnswers)
            notifications.setAddError(QStringLiteral("refused"));
        EnvironmentCheck::notifyOnce("probe", "Title", "Body");
        QTRY_VERIFY(!Defaults::standard().boolValue("harkwell.envNotified.probe"));

        notifications.setAuthorization(NotificationAuthorization::Authorized);
        notifications.setAddError(std::nullopt);
        EnvironmentCheck::notifyOnce("probe", "Title", "Body");
        QTRY_COMPARE(notifications.posted().size(), 1);
        QVERIFY(Defaults::standard().boolValue("harkwell.envNotified.probe"));
        Notifications::setCurrent(nullptr);
    }

    void withNoFolderItStaysIdle()
    {
        CoordinatorFixture f;
        f.coordinator->start();
        QTRY_VERIFY(logText().contains("[harkwell] capture: no folders enabled; coordinator idle"));
        QCOMPARE(f.clock.pendingSleepers(), 0);
        f.clock.advance(1h);
        QCOMPARE(f.pollCount(), 0);
    }

    void ticksTwoSecondsAfterStartThenEveryThirty()
    {
        CoordinatorFixture f;
        const QString inbox = f.addFolder("Inbox");
        QVERIFY(QDir(inbox).removeRecursively());  // not there yet: not indexed by the first start
        f.coordinator->start();
        f.coordinator->start();
        QTRY_COMPARE(f.clock.pendingSleepers(), 1);
        QTRY_VERIFY(logText().contains("[harkwell] capture: coordinator started (poll=30s, folders=Inbox)"));
        f.clock.advance(1999ms);
        QCOMPARE(f.clock.pendingSleepers(), 1);
        f.clock.advance(1ms);
        QTRY_COMPARE(f.pollCount(), 1);
        QTRY_COMPARE(f.clock.pendingSleepers(), 1);
        f.clock.advance(29999ms);
        QCOMPARE(f.clock.pendingSleepers(), 1);
        f.clock.advance(1ms);
        QTRY_COMPARE(f.pollCount(), 2);
        QCOMPARE(logText().count("coordinator started"), 1);

        f.coordinator->stop();
        QTRY_VERIFY(logText().contains("[harkwell] capture: coordinator stopped"));
        f.clock.advance(1h);
        QTest::qWait(0);
        QCOMPARE(f.pollCount(), 2);
    }

    // The wall clock stepped either way (NTP, a time set by hand) changes no interval.
    void aWallClockStepMovesNoTick_data()
    {
        QTest::addColumn<qint64>("stepSeconds");
        QTest::newRow("an hour back") << qint64(-3600);
        QTest::newRow("a day ahead") << qint64(86400);
    }
    void aWallClockStepMovesNoTick()
    {
        QFETCH(qint64, stepSeconds);
        CoordinatorFixture f;
        f.addFolder("Inbox");
        f.coordinator->start();
        QTRY_COMPARE(f.clock.pendingSleepers(), 1);
        f.clock.advance(2s);
        QTRY_COMPARE(f.pollCount(), 1);
        QTRY_COMPARE(f.clock.pendingSleepers(), 1);

        f.clock.stepWallClock(std::chrono::seconds(stepSeconds));
        for (int tick = 2; tick <= 3; ++tick) {
            f.clock.advance(29999ms);
            QTest::qWait(0);
            QCOMPARE(f.pollCount(), tick - 1);
            f.clock.advance(1ms);
            QTRY_COMPARE(f.pollCount(), tick);
            QTRY_COMPARE(f.clock.pendingSleepers(), 1);
        }
    }

    // A folder on a mount that stopped answering is said once and skipped; files dropped into the
    // other folders are taken at the next tick as if it were not there.
    void aHangingFolderHoldsNoOtherFolder()
    {
        test::TempHome home;
        FakeNotifications notifications;
        Notifications::setCurrent(&notifications);
        const QString dead = home.path() + "/Mounts/dead";
        test::SlowMount mount(dead, 60);
        QVERIFY2(mount.start(), qPrintable(mount.error()));
        const QString inbox = home.make("Inbox");
        FakeClock clock;
        FakeDurationProbe durations;
        CaptureStateStore store(Paths::stateFile(), Paths::legacyWatcherStateFile(), clock);
        QMutex lock;  // guards captured, filled on the coordinator's queue
        QStringList captured;
        {
            const QList<WatchedFolder> folders{WatchedFolder::generic(dead, "Dead"), WatchedFolder::generic(inbox, "Inbox")};
            CaptureCoordinator coordinator(store, CaptureProbes{FileSystem::local(), durations, clock}, [&] { return folders; });
            coordinator.setOnNewCapture([&](const FolderWatcher::NewCapture& capture) {
                store.markSeen(capture.sourceUrl.fileName(), capture.canonicalId, capture.folderId, clock.now());
                QMutexLocker locker(&lock);
                captured.append(capture.sourceUrl.fileName());
            });
            const auto takenSoon = [&](const QString& name) {
                return QTest::qWaitFor([&] {
                    QMutexLocker locker(&lock);
                    if (captured.contains(name))
                        return true;
                    clock.advance(CaptureGuards::kRecheckPause);
                    return false;
                }, 20000);
            };
            coordinator.start();
            QTRY_VERIFY_WITH_TIMEOUT(logText().contains("[harkwell] capture: [Inbox] initial index complete"), 20000);
            for (const QString name : {"one.wav", "two.wav"}) {
                test::writeNative(QFile::encodeName(inbox + "/" + name), wav(1.0), clock.now().addSecs(-60));
                QVERIFY2(takenSoon(name), qPrintable(logText()));
            }
            QCOMPARE(logText().count("[harkwell] capture: [Dead] not answering: listing " + dead), 1);
            QVERIFY(!logText().contains("[Dead] initial index complete"));
            QVERIFY(!logText().contains("[Dead] access ->"));
            coordinator.setOnNewCapture({});
        }
        HarkwellLog::waitUntilWritten();
        Notifications::setCurrent(nullptr);
    }

    void eachNewFileBecomesOneCaptureAcrossRestarts()
    {
        CoordinatorFixture f;
        const QString inbox = f.addFolder("Inbox");
        f.home.writeFile("Inbox/already.wav", wav(1.0));
        f.coordinator->start();
        QTRY_VERIFY(logText().contains("[harkwell] capture: [Inbox] initial index complete (1 existing files marked seen)"));

        QFile fresh(inbox + "/fresh.wav");
        QVERIFY(fresh.open(QIODevice::WriteOnly));
        fresh.write(wav(1.0));
        fresh.flush();
        fresh.setFileTime(QDateTime(QDate(2024, 3, 1), QTime(10, 20, 30), Qt::LocalTime), QFileDevice::FileModificationTime);
        fresh.close();

        QVERIFY(f.runUntil([&] { return f.captured().size() == 1; }));
        const FolderWatcher::NewCapture capture = f.captured().first();
        QCOMPARE(capture.canonicalId, "240301-102030");
        QCOMPARE(capture.sourceUrl, QUrl::fromLocalFile(inbox + "/fresh.wav"));
        QCOMPARE(capture.folderId, WatchedFolder::generic(inbox, "Inbox").id);

        // More ticks, a restart with the ledger read back from state.json, a reload: still one.
        const int polls = f.pollCount();
        QVERIFY(f.runUntil([&] { return f.pollCount() >= polls + 2; }));
        f.restart();
        f.coordinator->start();
        QVERIFY(f.runUntil([&] { return f.pollCount() >= polls + 4; }));
        f.coordinator->reload();
        QVERIFY(f.runUntil([&] { return f.pollCount() >= polls + 6; }));
        QCOMPARE(f.captured().size(), 1);
        QCOMPARE(logText().count("initial index complete"), 1);
        QCOMPARE(logText().count("[harkwell] capture: [Inbox] access -> Inbox: 2 files visible"), 2);  // once per coordinator
    }

    void onlyTheFirstStartOrAReloadIndexes()
    {
        CoordinatorFixture f;
        const QString inbox = f.addFolder("Inbox");
        QVERIFY(QDir(inbox).removeRecursively());  // not there yet: not indexed by the first start
        f.coordinator->start();
        f.coordinator->stop();
        QTRY_VERIFY(logText().contains("[harkwell] capture: coordinator stopped"));
        // A folder added while stopped is not indexed by the next start: what it holds is new.
        f.addFolder("Later");
        f.home.writeFile("Later/waiting.wav", wav(1.0));
        f.coordinator->start();
        QVERIFY2(f.runUntil([&] { return f.captured().size() == 1; }), qPrintable(logText()));
        QCOMPARE(f.captured().first().sourceUrl.fileName(), "waiting.wav");

        // A reload indexes again, but only folders whose ledger is still empty.
        QVERIFY(QDir().mkpath(inbox));
        f.home.writeFile("Inbox/after-reload.wav", wav(1.0));
        f.coordinator->reload();
        QTRY_VERIFY(logText().contains("[harkwell] capture: [Inbox] initial index complete (1 existing files marked seen)"));
        QVERIFY(!logText().contains("[Later] initial index"));
        const int polls = f.pollCount();
        QVERIFY(f.runUntil([&] { return f.pollCount() >= polls + 2; }));
        QCOMPARE(f.captured().size(), 1);
    }

    void accessChangesAreLoggedAndNotifiedOnce()
    {
        CoordinatorFixture f;
        {
            QMutexLocker locker(&f.lock);
            f.folders.append(WatchedFolder::defaultVoiceMemos(true));
        }
        const QString folder = Paths::voiceMemosFolder();
        f.coordinator->start();
        const auto tickThenSettle = [&] {
            const int polls = f.pollCount();
            return f.runUntil([&] { return f.pollCount() > polls; });
        };

        QVERIFY(tickThenSettle());  // missing
        QVERIFY(tickThenSettle());  // still missing: no second line
        QDir().mkpath(folder);
        f.home.writeFile(folder.mid(f.home.path().size() + 1) + "/20240115 143022.m4a", wav(1.0));
        QVERIFY(tickThenSettle());  // ok
        f.files.denyListing(folder, EACCES);
        QVERIFY(tickThenSettle());  // denied
        f.files.clearFaults();
        QVERIFY(tickThenSettle());  // ok again: flags removed
        f.files.denyListing(folder, EACCES);
        QVERIFY(tickThenSettle());  // denied again: notified again

        const QString log = logText();
        QCOMPARE(log.count("[harkwell] capture: [Voice Memos] access -> Voice Memos folder not found"), 1);
        QCOMPARE(log.count("[harkwell] capture: [Voice Memos] access -> Voice Memos: 1 file visible"), 2);
        QCOMPARE(log.count("[harkwell] capture: [Voice Memos] access -> Full Disk Access needed"), 2);

        QTRY_COMPARE(f.notifications.posted().size(), 3);
        QCOMPARE(f.notifications.posted()[0].identifier, "env.capture-access-voice-memos-missing");
        QCOMPARE(f.notifications.posted()[0].title, "Voice Memos folder not found");
        QCOMPARE(f.notifications.posted()[0].body, CaptureAccess::State::missing().explanation());
        QCOMPARE(f.notifications.posted()[1].identifier, "env.capture-access-voice-memos-denied");
        QCOMPARE(f.notifications.posted()[2].identifier, "env.capture-access-voice-memos-denied");
        QVERIFY(Defaults::standard().boolValue("harkwell.envNotified.capture-access-voice-memos-denied"));
        QVERIFY(!Defaults::standard().contains("harkwell.envNotified.capture-access-voice-memos-missing"));

        QMutexLocker locker(&f.lock);
        const QList<Kind> kinds = [&] {
            QList<Kind> list;
            for (const auto& state : f.voiceMemosStates)
                list.append(state.kind());
            return list;
        }();
        QCOMPARE(kinds, (QList<Kind>{Kind::Missing, Kind::Ok, Kind::Denied, Kind::Ok, Kind::Denied}));
    }
};

QTEST_GUILESS_MAIN(CaptureCoordinatorTest)
#include "tst_capture_coordinator.moc"
