// Start-up in the application's order: the migration first, the scanner when the menu is first
// built, the launch sequence (the capture road, then the recorder), then the menu's appear work
// (click handling, the search key, a first launch's welcome window). The pipeline starts only with
// a watched folder (warning once about a missing pairing); a settings save re-applies the keeper,
// the pipeline and the coordinator's folders; the menu's commands and notification clicks reach
// their windows.

#include "MenuTree.h"
#include "RecordingServices.h"
#include "app/AppDelegate.h"
#include "app/HarkwellApp.h"
#include "foundation/HarkwellLog.h"
#include "platform/notifications/FakeNotifications.h"
#include "platform/paths/Paths.h"
#include "platform/schemes/SchemeHandlers.h"
#include "support/TempHome.h"

#include <QFile>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>

using namespace harkwell;
using harkwell::test::RecordingServices;

namespace {

QStringList logLines()
{
    HarkwellLog::waitUntilWritten();
    QFile file(Paths::logFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (!line.isEmpty())
            lines << QString::fromUtf8(line.mid(line.indexOf(' ') + 1));  // without the time stamp
    return lines;
}

const QString kNotPaired = QStringLiteral(
    "[harkwell] capture pipeline: upload is on but this Mac is not paired yet (Settings > Captures > Connect to "
    "Mirelon\u2026). Captures are copied to the vault meanwhile; each upload reads the Keychain, so no restart is needed "
    "after pairing.");
const QString kNotStarting = QStringLiteral("[harkwell] capture pipeline: no watched folders enabled; not starting");

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void launchSequence_data()
    {
        QTest::addColumn<bool>("keep");
        QTest::addColumn<bool>("watching");
        QTest::addColumn<bool>("upload");
        QTest::addColumn<bool>("paired");
        QTest::addColumn<bool>("recording");
        QTest::addColumn<QStringList>("tail");     // the calls after the login item
        QTest::addColumn<QStringList>("logTail");  // the lines after the launch line

        const QStringList notify{"notifier.connect", "status.start"};
        const QStringList recorder{"recorder.launchCheck", "recorder.install", "recorder.applyQuickKey"};
        QTest::newRow("first launch: nothing watched")
            << false << false << false << false << true << notify + QStringList{"pipeline.resumeUnfinished"} + recorder
            << QStringList{kNotStarting};
        QTest::newRow("watching, upload off")
            << false << true << false << false << true << notify + QStringList{"pipeline.start"} + recorder << QStringList{};
        QTest::newRow("watching, upload on, not paired")
            << false << true << true << false << true << notify + QStringList{"pipeline.start"} + recorder
            << QStringList{kNotPaired};
        QTest::newRow("watching, paired")
            << true << true << true << true << true << notify + QStringList{"pipeline.start"} + recorder << QStringList{};
        QTest::newRow("upload on, not paired, nothing watched: no pairing warning")
            << false << false << true << false << true << notify + QStringList{"pipeline.resumeUnfinished"} + recorder
            << QStringList{kNotStarting};
        QTest::newRow("no audio system: unfinished recordings are still looked for")
            << false << true << false << false << false << notify + QStringList{"pipeline.start", "recorder.launchCheck"}
            << QStringList{};
    }
    void launchSequence()
    {
        QFETCH(bool, keep);
        QFETCH(bool, watching);
        QFETCH(bool, upload);
        QFETCH(bool, paired);
        QFETCH(bool, recording);
        QFETCH(QStringList, tail);
        QFETCH(QStringList, logTail);
        test::TempHome home;
        RecordingServices services;
        services.keep = keep;
        services.watching = watching;
        services.upload = upload;
        services.paired = paired;
        services.recording = recording;

        AppDelegate(services).applicationDidFinishLaunching();

        const QStringList head{"environmentCheck", keep ? "keeper.start" : "keeper.stop", "retryWatermark",
                               "loginItem.enableByDefaultOnce"};
        QCOMPARE(services.calls, head + tail);
        const QStringList lines = logLines();
        QVERIFY(!lines.isEmpty());
        QVERIFY2(lines.first().startsWith("[harkwell] launch: 1."), qPrintable(lines.first()));
        QCOMPARE(lines.mid(1), logTail);
    }

    void launchLineFallsBackToQuestionMarks()
    {
        QCOMPARE(AppDelegate::launchLine("1.0.0", "studio"), QString("[harkwell] launch: 1.0.0 (studio)"));
        QCOMPARE(AppDelegate::launchLine("", ""), QString("[harkwell] launch: ? (?)"));
    }

    void applyCaptureSettings_data()
    {
        QTest::addColumn<bool>("keep");
        QTest::addColumn<bool>("watching");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("every folder disabled: pipeline stops")
            << false << false << QStringList{"keeper.stop", "pipeline.stop"};
        QTest::newRow("a folder enabled: pipeline starts, coordinator reloads")
            << true << true << QStringList{"keeper.start", "pipeline.start", "coordinator.reload"};
    }
    void applyCaptureSettings()
    {
        QFETCH(bool, keep);
        QFETCH(bool, watching);
        QFETCH(QStringList, calls);
        test::TempHome home;
        RecordingServices services;
        services.keep = keep;
        services.watching = watching;
        services.upload = true;  // no pairing warning here, and the status counter is left alone
        AppDelegate(services).applyCaptureSettings();
        QCOMPARE(services.calls, calls);
        QVERIFY(logLines().isEmpty());
    }

    void applicationStartsInOrder()
    {
        test::TempHome home;
        FakeNotifications notifications;
        FakeSchemeHandlers schemes;
        RecordingServices services;
        services.settingsFile = false;

        HarkwellApp app(services, notifications, schemes);
        QCOMPARE(services.calls, (QStringList{"updater.start", "migration"}));
        QVERIFY(!app.scanner());

        app.start();
        const QStringList launch{"environmentCheck", "keeper.stop", "retryWatermark", "loginItem.enableByDefaultOnce",
                                 "notifier.connect", "status.start", "pipeline.resumeUnfinished", "recorder.launchCheck",
                                 "recorder.install", "recorder.applyQuickKey"};
        QCOMPARE(services.calls, (QStringList{"updater.start", "migration", "scanner.make"} + launch + QStringList{"search.registerKey"}));
        QCOMPARE(services.searchScanner, app.scanner());

        // The welcome window waits for the appear work to end.
        QTRY_COMPARE(services.calls.last(), QString("welcome.show"));
        QCOMPARE(services.calls.count("welcome.show"), 1);
    }

    void welcomeCompletionReloadsSettingsAndRefreshesScanner()
    {
        test::TempHome home;
        FakeNotifications notifications;
        FakeSchemeHandlers schemes;
        RecordingServices services;
        services.settingsFile = false;
        HarkwellApp app(services, notifications, schemes);
        app.start();
        QTRY_VERIFY(services.welcomeCompletion);
        QTRY_VERIFY(!app.scanner()->isScanning());
        const int listings = services.listers->vaultListings;

        services.calls.clear();
        services.welcomeCompletion();
        QCOMPARE(services.calls, QStringList{"settings.load"});
        QVERIFY(app.scanner()->isScanning());
        QTRY_COMPARE(services.listers->vaultListings.load(), listings + 1);
    }

    void appearRepeatsItsWorkWithoutWelcomeOnceSettingsExist()
    {
        test::TempHome home;
        FakeNotifications notifications;
        FakeSchemeHandlers schemes;
        RecordingServices services;
        HarkwellApp app(services, notifications, schemes);
        app.start();
        services.calls.clear();

        emit app.menu()->aboutToShow();
        emit app.menu()->aboutToShow();
        QCoreApplication::processEvents();
        QCOMPARE(services.calls, (QStringList{"search.registerKey", "search.registerKey"}));
    }

    void labelShowsTodayCountFromScanner()
    {
        test::TempHome home;
        FakeNotifications notifications;
        FakeSchemeHandlers schemes;
        RecordingServices services;
        FileEntry today;
        today.id = QUuid::createUuid();
        today.filename = "today.md";
        today.relativePath = "today.md";
        today.creationDate = today.modificationDate = services.clock.now();  // the scanner's today
        today.fullPath = QUrl::fromLocalFile(home.path() + "/today.md");
        services.listers->setVaultFiles({today});

        HarkwellApp app(services, notifications, schemes);
        app.start();
        QTRY_COMPARE(app.scanner()->todayCount(), 1);
        QCOMPARE(app.labelContent().text, QString("1"));
        QVERIFY(test::findRow(app.menuRows(), "Today (1)"));
    }

    void menuCommandsAndClicksReachTheirWindows()
    {
        test::TempHome home;
        FakeNotifications notifications;
        FakeSchemeHandlers schemes;
        RecordingServices services;
        HarkwellApp app(services, notifications, schemes);
        app.start();
        QTRY_VERIFY(!app.scanner()->isScanning());
        const int listings = services.listers->vaultListings;
        services.calls.clear();

        const MenuRows rows = app.menuRows();
        for (const char* text : {"Record\u2026", "Search Vault\u2026", "Settings\u2026", "Welcome & guide\u2026"})
            test::findRow(rows, text)->action();
        test::findRow(rows, "Refresh")->action();
        QTRY_COMPARE(services.listers->vaultListings.load(), listings + 1);

        NotificationRequest settingsNotice;
        settingsNotice.payload = {{"action", "captureSettings"}};
        notifications.click(settingsNotice);
        NotificationRequest recorderNotice;
        recorderNotice.payload = {{"action", "recorder"}};
        notifications.click(recorderNotice);
        QTRY_COMPARE(services.calls.size(), 6);
        QCOMPARE(services.calls, (QStringList{"recorder.front", "search.toggle", "settings.show", "welcome.show",
                                              "settings.show", "recorder.front"}));
    }

    void noRecordRowsWithoutAudioSystem()
    {
        test::TempHome home;
        FakeNotifications notifications;
        FakeSchemeHandlers schemes;
        RecordingServices services;
        services.recording = false;
        HarkwellApp app(services, notifications, schemes);
        app.start();
        QCOMPARE(app.menuRows().first().text, QString("Vault"));
        // The refresh start() began holds its frame until its listings report back.
        QTRY_VERIFY(!app.scanner()->isScanning());
    }
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
