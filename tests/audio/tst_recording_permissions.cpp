// The microphone permission as the recorder reads and asks for it, the privacy settings links, and
// the two observable values (meters and elapsed time) the recorder's views follow.

#include "audio/RecordingClock.h"
#include "audio/RecordingMeters.h"
#include "audio/RecordingPermissions.h"
#include "foundation/HarkwellLog.h"
#include "platform/microphone/FakeMicrophoneAccess.h"
#include "platform/paths/Paths.h"
#include "support/LogFile.h"
#include "support/TempHome.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <qcoro/qcorotask.h>

using namespace harkwell;

Q_DECLARE_METATYPE(harkwell::MicrophoneAuthorization)
Q_DECLARE_METATYPE(harkwell::RecordingPermissions::MicrophoneStatus)

namespace {

using test::logText;

// Puts the fake in place for one test and takes it away again.
struct CurrentAccess {
    FakeMicrophoneAccess fake;
    CurrentAccess() { MicrophoneAccess::setCurrent(&fake); }
    ~CurrentAccess() { MicrophoneAccess::setCurrent(nullptr); }
};

}  // namespace

class RecordingPermissionsTest : public QObject {
    Q_OBJECT
private slots:
    void statusFollowsTheAuthorization_data()
    {
        using Status = RecordingPermissions::MicrophoneStatus;
        QTest::addColumn<MicrophoneAuthorization>("authorization");
        QTest::addColumn<Status>("status");
        QTest::newRow("authorised") << MicrophoneAuthorization::Authorized << Status::Authorized;
        QTest::newRow("not determined") << MicrophoneAuthorization::NotDetermined << Status::NotDetermined;
        QTest::newRow("denied") << MicrophoneAuthorization::Denied << Status::Denied;
        QTest::newRow("restricted shows as denied") << MicrophoneAuthorization::Restricted << Status::Denied;
    }
    void statusFollowsTheAuthorization()
    {
        QFETCH(MicrophoneAuthorization, authorization);
        QFETCH(RecordingPermissions::MicrophoneStatus, status);
        CurrentAccess access;
        access.fake.setAuthorization(authorization);
        QCOMPARE(RecordingPermissions::microphoneStatus(), status);
    }

    void requestingAccess_data()
    {
        QTest::addColumn<MicrophoneAuthorization>("authorization");
        QTest::addColumn<bool>("canAsk");
        QTest::addColumn<bool>("answer");
        QTest::addColumn<bool>("granted");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("already granted: no question, no line")
            << MicrophoneAuthorization::Authorized << true << false << true << 0 << QString();
        QTest::newRow("denied before: asked again, denied")
            << MicrophoneAuthorization::Denied << true << false << false << 1 << "[harkwell] recorder: microphone access denied";
        QTest::newRow("not determined: granted")
            << MicrophoneAuthorization::NotDetermined << true << true << true << 1
            << "[harkwell] recorder: microphone access granted";
        QTest::newRow("build cannot ask")
            << MicrophoneAuthorization::NotDetermined << false << true << false << 0
            << "[harkwell] recorder: no NSMicrophoneUsageDescription in this build; not requesting microphone access";
    }
    void requestingAccess()
    {
        QFETCH(MicrophoneAuthorization, authorization);
        QFETCH(bool, canAsk);
        QFETCH(bool, answer);
        QFETCH(bool, granted);
        QFETCH(int, requests);
        QFETCH(QString, logLine);
        test::TempHome home;
        CurrentAccess access;
        access.fake.setAuthorization(authorization);
        access.fake.setCanAsk(canAsk);
        access.fake.setAnswer(answer);

        QCOMPARE(QCoro::waitFor(RecordingPermissions::requestMicrophone()), granted);
        QCOMPARE(access.fake.requests(), requests);
        const QString log = logText();
        if (logLine.isEmpty())
            QVERIFY(!log.contains("microphone"));
        else
            QVERIFY2(log.contains(logLine), qPrintable(log));
    }

    void linuxNeverNeedsToAsk()
    {
        MicrophoneAccess::setCurrent(nullptr);
        QCOMPARE(RecordingPermissions::microphoneStatus(), RecordingPermissions::MicrophoneStatus::Authorized);
        QVERIFY(QCoro::waitFor(RecordingPermissions::requestMicrophone()));
    }

    void settingsLinksGoToTheirPages()
    {
        test::TempHome home;
        CurrentAccess access;
        RecordingPermissions::openMicrophoneSettings();
        access.fake.setOpens(false);
        RecordingPermissions::openSystemAudioSettings();
        QCOMPARE(access.fake.openedPages(),
                 QStringList({"x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone",
                              "x-apple.systempreferences:com.apple.preference.security?Privacy_AudioCapture"}));
        // A desktop without the page only leaves a note of where the user was sent.
        const QString log = logText();
        QVERIFY(!log.contains("Privacy_Microphone"));
        QVERIFY(log.contains("Privacy_AudioCapture"));
    }

    void everyReadingIsAnnounced()
    {
        RecordingMeters meters;
        RecordingClock clock;
        QCOMPARE(meters.levels(), RecordingLevels {});
        QCOMPARE(clock.elapsed(), 0.0);
        QSignalSpy levels(&meters, &RecordingMeters::levelsChanged);
        QSignalSpy elapsed(&clock, &RecordingClock::elapsedChanged);

        const RecordingLevels reading {0.5f, 0.25f, 0.75f, 0.125f};
        meters.setLevels(reading);
        meters.setLevels(reading);  // equal, still announced: the meters redraw on each reading
        clock.setElapsed(3);
        QCOMPARE(levels.count(), 2);
        QCOMPARE(meters.levels(), reading);
        QCOMPARE(elapsed.count(), 1);
        QCOMPARE(elapsed.first().first().toDouble(), 3.0);
    }
};

QTEST_GUILESS_MAIN(RecordingPermissionsTest)
#include "tst_recording_permissions.moc"
