// The hardware layer's failure texts and the audio catalog on the simulated audio system: which
// microphones are listed and how they sort, and which apps own which process objects.

#include "audio/AudioProcessCatalog.h"
#include "audio/RecorderDeviceNames.h"
#include "foundation/HarkwellLog.h"
#include "platform/audiohal/SimulatedAudioHardware.h"
#include "platform/paths/Paths.h"
#include "support/TempHome.h"

#include <QFile>
#include <QTest>

using namespace harkwell;

namespace {

constexpr qint64 kOwnPid = 4242;
constexpr char kOwnId[] = "app.harkwell.Harkwell";

SimulatedAudioHardware::Device input(const QString& uid, const QString& name, QList<int> buffers = {1})
{
    SimulatedAudioHardware::Device device;
    device.uid = uid;
    device.name = name;
    device.inputBuffers = std::move(buffers);
    return device;
}

QStringList names(const QList<AudioApp>& apps)
{
    QStringList list;
    for (const AudioApp& app : apps)
        list.append(app.name);
    return list;
}

const AudioApp* find(const QList<AudioApp>& apps, const QString& bundleId)
{
    for (const AudioApp& app : apps)
        if (app.bundleId == bundleId)
            return &app;
    return nullptr;
}

}  // namespace

class AudioProcessCatalogTest : public QObject {
    Q_OBJECT
private slots:
    void fourCharacterCodes_data()
    {
        QTest::addColumn<qint32>("status");
        QTest::addColumn<QString>("described");
        QTest::addColumn<bool>("printable");
        QTest::newRow("dev#") << qint32(fourCharCode("dev#")) << "'dev#' (1684370979)" << true;
        QTest::newRow("who?") << qint32(fourCharCode("who?")) << "'who?' (2003332927)" << true;
        QTest::newRow("one") << 1 << "1" << false;
        QTest::newRow("paramErr") << -50 << "-50" << false;
        QTest::newRow("high byte") << qint32(0xff776861u) << "-8951711" << false;
    }
    void fourCharacterCodes()
    {
        QFETCH(qint32, status);
        QFETCH(QString, described);
        QFETCH(bool, printable);
        QCOMPARE(RecorderHAL::describe(status), described);
        QCOMPARE(RecorderHAL::fourCC(quint32(status)).has_value(), printable);
        QCOMPARE(RecorderHAL::fourCC(fourCharCode("dev#")), std::optional<QString>("dev#"));
    }

    void checkedReadFailureNamesPropertyAndObject()
    {
        SimulatedAudioHardware hal;
        hal.failRead(RecorderHAL::kSystemObject, AudioProperty::DefaultInputDevice, HalError::kUnknownProperty);
        const auto value = hal.checkedUInt32(RecorderHAL::kSystemObject, AudioProperty::DefaultInputDevice);
        QVERIFY(!value);
        QCOMPARE(value.error().text(), QString("Reading 'dIn ' of audio object 1 failed: 'who?' (2003332927)"));
    }

    void inputDevices()
    {
        SimulatedAudioHardware hal;
        hal.addDevice(input("mic10", "Mic 10"));
        hal.addDevice(input("mic2", "Mic 2"));
        hal.addDevice(input("speakers", "Speakers", {}));
        hal.addDevice(input(QString(kRecorderAggregateUidPrefix) + "leftover", "harkwell Recorder", {2}));
        SimulatedAudioHardware::Device hidden = input("hidden", "Hidden Mic");
        hidden.hidden = true;
        hal.addDevice(hidden);
        hal.addDevice(input("noname", QString(), {0, 2}));
        const AudioObjectId unreadableHidden = hal.addDevice(input("mystery", "another mic"));
        hal.failRead(unreadableHidden, AudioProperty::IsHidden, -50);
        const AudioObjectId noUid = hal.addDevice(input("nouid", "No UID"));
        hal.failRead(noUid, AudioProperty::DeviceUid, -50);
        const AudioObjectId noConfig = hal.addDevice(input("noconfig", "No Config"));
        hal.failRead(noConfig, AudioProperty::StreamConfiguration, -50);
        hal.setDefaultInput("mic10");

        const QList<AudioInputDevice> devices = AudioProcessCatalog(hal).inputDevices();
        const QList<AudioInputDevice> expected{
            {"mystery", "another mic", false},
            {"mic2", "Mic 2", false},
            {"mic10", "Mic 10", true},
            {"noname", "noname", false},
        };
        QCOMPARE(devices, expected);

        // Without a readable default nothing is the default.
        hal.failRead(RecorderHAL::kSystemObject, AudioProperty::DefaultInputDevice, HalError::kUnknownProperty);
        for (const AudioInputDevice& device : AudioProcessCatalog(hal).inputDevices())
            QVERIFY(!device.isDefault);
    }

    void equalNamesKeepTheDeviceOrder()
    {
        SimulatedAudioHardware hal;
        hal.addDevice(input("b", "USB Mic"));
        hal.addDevice(input("a", "usb mic"));
        const QList<AudioInputDevice> devices = AudioProcessCatalog(hal).inputDevices();
        QCOMPARE(devices.value(0).uid, QString("b"));
        QCOMPARE(devices.value(1).uid, QString("a"));
    }

    void audioAppsAndTheirProcesses()
    {
        test::TempHome home;
        SimulatedAudioHardware hal;
        // Regular apps, one silent.
        hal.addRunningApplication({100, "com.example.alpha", "Alpha", "/Applications/Alpha.app"});
        hal.addRunningApplication({200, "com.example.beta", "Beta", QString()});
        hal.addRunningApplication({300, "com.google.Chrome", "Google Chrome", "/Applications/Google Chrome.app"});
        const AudioObjectId alpha = hal.addProcess({100, "com.example.alpha", false, {}, {}});
        const AudioObjectId beta = hal.addProcess({200, "com.example.beta", true, {}, {}});
        // A helper of a running app joins it through the prefix rule, and keeps the app's name.
        const AudioObjectId chromeHelper = hal.addProcess({301, "com.google.Chrome.helper.Renderer", true, {}, {}});
        const AudioObjectId chrome = hal.addProcess({300, "com.google.Chrome", false, {}, {}});
        // A helper nested in an app's bundle belongs to the outer app, matched by path.
        hal.setExecutablePath(101, "/Applications/Alpha.app/Contents/Frameworks/Helper.app/Contents/MacOS/Helper");
        const AudioObjectId alphaHelper = hal.addProcess({101, "com.other.helper", false, {}, {}});
        // A bundle on disk that is not running: named after the bundle, not a regular app.
        hal.setExecutablePath(400, "/opt/Tools/Recorder Tool.app/Contents/MacOS/tool");
        hal.addBundle("/opt/Tools/Recorder Tool.app", {"com.tools.recorder", QString()});
        hal.addProcess({400, "", true, {}, {}});
        // Web content whose browser cannot be found.
        hal.addProcess({500, "com.apple.WebKit.GPU", true, {}, {}});
        // A background daemon: only listed while it plays.
        const AudioObjectId daemon = hal.addProcess({600, "org.example.daemon", false, {}, {}});
        hal.setProcessName(600, "exampled");
        // Nameless process without a bundle identifier: left out.
        hal.addProcess({700, "", true, {}, {}});
        // This application, its helpers and this process are never listed.
        hal.addProcess({kOwnPid, "whatever", true, {}, {}});
        hal.addProcess({800, QString(kOwnId) + ".Helper", true, {}, {}});
        hal.addProcess({801, "APP.HARKWELL.HARKWELL", true, {}, {}});
        // Unreadable process id: skipped.
        const AudioObjectId broken = hal.addProcess({900, "com.example.broken", true, {}, {}});
        hal.failRead(broken, AudioProperty::ProcessPid, -50);

        AudioProcessCatalog catalog(hal, QString(kOwnId), kOwnPid);
        const QList<AudioApp> apps = catalog.audioApps();
        QCOMPARE(names(apps), (QStringList{"Beta", "Google Chrome", "Recorder Tool", "Safari and web content", "Alpha"}));
        QCOMPARE(find(apps, "com.google.Chrome")->processObjectIds, (QList<quint32>{chromeHelper, chrome}));
        QVERIFY(find(apps, "com.google.Chrome")->isPlaying);
        QCOMPARE(find(apps, "com.example.alpha")->processObjectIds, (QList<quint32>{alpha, alphaHelper}));
        QVERIFY(!find(apps, "com.example.alpha")->isPlaying);
        QCOMPARE(find(apps, "com.example.beta")->processObjectIds, QList<quint32>{beta});
        QCOMPARE(find(apps, "com.apple.WebKit.GPU")->name, QString("Safari and web content"));

        // The silent daemon is not listed, but its objects are still found for a tap.
        QVERIFY(!find(apps, "org.example.daemon"));
        QCOMPARE(catalog.processObjectIds("ORG.example.daemon"), QList<AudioObjectId>{daemon});
        QCOMPARE(catalog.processObjectIds("com.google.chrome"), (QList<AudioObjectId>{chromeHelper, chrome}));
        QCOMPARE(catalog.processObjectIds("com.example.gone"), QList<AudioObjectId>{});
        QCOMPARE(catalog.processObjectIds(kOwnId), QList<AudioObjectId>{});
        hal.setPlaying(daemon, true);
        QCOMPARE(find(catalog.audioApps(), "org.example.daemon")->name, QString("exampled"));

        // Without a bundle identifier of its own, this application's helpers are someone else's.
        AudioProcessCatalog anonymous(hal, std::nullopt, kOwnPid);
        QVERIFY(find(anonymous.audioApps(), QString(kOwnId) + ".Helper"));
    }

    void outermostAppBundle_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("bundle");
        QTest::newRow("nested") << "/Applications/Outer.app/Contents/Helpers/Inner.app/x" << "/Applications/Outer.app";
        QTest::newRow("upper case") << "/Apps/Big.APP/x" << "/Apps/Big.APP";
        QTest::newRow("none") << "/usr/bin/firefox" << "";
    }
    void outermostAppBundle()
    {
        QFETCH(QString, path);
        QFETCH(QString, bundle);
        QCOMPARE(AudioProcessCatalog::outermostAppBundle(path).value_or(QString()), bundle);
    }

    void ownProcessObject()
    {
        test::TempHome home;
        SimulatedAudioHardware hal;
        QCOMPARE(AudioProcessCatalog(hal, QString(kOwnId), kOwnPid).ownProcessObjectId(), std::nullopt);
        const AudioObjectId own = hal.addProcess({kOwnPid, kOwnId, false, {}, {}});
        QCOMPARE(AudioProcessCatalog(hal, QString(kOwnId), kOwnPid).ownProcessObjectId(), std::optional(own));
        hal.failRead(RecorderHAL::kSystemObject, AudioProperty::TranslatePidToProcessObject, HalError::kBadObject);
        QCOMPARE(AudioProcessCatalog(hal, QString(kOwnId), kOwnPid).ownProcessObjectId(), std::nullopt);
        HarkwellLog::waitUntilWritten();
        QFile log(Paths::logFile());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("[harkwell] recorder: own process object lookup failed: '!obj' (560947818)"));
    }
};

QTEST_GUILESS_MAIN(AudioProcessCatalogTest)
#include "tst_audio_process_catalog.moc"
