// The launch sequence calls the capture road's services in the application's order, starts the
// pipeline only with a watched folder (warning once about a missing pairing), and a settings save
// re-applies the keeper, the pipeline and the coordinator's folders.

#include "app/AppDelegate.h"
#include "RecordingServices.h"
#include "foundation/HarkwellLog.h"
#include "platform/paths/Paths.h"
#include "support/TempHome.h"

#include <QFile>
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
        QTest::addColumn<QStringList>("tail");     // the calls after the login item
        QTest::addColumn<QStringList>("logTail");  // the lines after the launch line

        const QStringList notify{"notifier.connect", "status.start"};
        QTest::newRow("first launch: nothing watched")
            << false << false << false << false << notify + QStringList{"pipeline.resumeUnfinished"} << QStringList{kNotStarting};
        QTest::newRow("watching, upload off")
            << false << true << false << false << notify + QStringList{"pipeline.start"} << QStringList{};
        QTest::newRow("watching, upload on, not paired")
            << false << true << true << false << notify + QStringList{"pipeline.start"} << QStringList{kNotPaired};
        QTest::newRow("watching, paired") << true << true << true << true << notify + QStringList{"pipeline.start"} << QStringList{};
        QTest::newRow("upload on, not paired, nothing watched: no pairing warning")
            << false << false << true << false << notify + QStringList{"pipeline.resumeUnfinished"} << QStringList{kNotStarting};
    }
    void launchSequence()
    {
        QFETCH(bool, keep);
        QFETCH(bool, watching);
        QFETCH(bool, upload);
        QFETCH(bool, paired);
        QFETCH(QStringList, tail);
        QFETCH(QStringList, logTail);
        test::TempHome home;
        RecordingServices services;
        services.keep = keep;
        services.watching = watching;
        services.upload = upload;
        services.paired = paired;

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
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
