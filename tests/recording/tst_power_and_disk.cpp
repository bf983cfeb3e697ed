// What the recorder's guards read of the machine: the power source from a power_supply folder laid
// out as the kernel does, and the free space of a real folder's volume.

#include "platform/disk/StatvfsDiskSpace.h"
#include "platform/power/LogindPowerManagement.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/statvfs.h>

using namespace harkwell;

namespace {

// "name:attribute=value,attribute=value;…" laid out as /sys/class/power_supply.
void writeSupplies(const QString& root, const QString& supplies)
{
    for (const QString& supply : supplies.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString name = supply.section(QLatin1Char(':'), 0, 0);
        QVERIFY(QDir(root).mkpath(name));
        for (const QString& pair : supply.section(QLatin1Char(':'), 1).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            QFile file(root + QLatin1Char('/') + name + QLatin1Char('/') + pair.section(QLatin1Char('='), 0, 0));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(pair.section(QLatin1Char('='), 1).toLatin1() + "\n");  // sysfs ends each value with a newline
        }
    }
}

}  // namespace

class TestPowerAndDisk : public QObject {
    Q_OBJECT

private slots:
    void theSupplyDecidesBattery_data()
    {
        QTest::addColumn<QString>("supplies");
        QTest::addColumn<bool>("onBattery");
        QTest::newRow("a desktop without supplies") << "" << false;
        QTest::newRow("laptop unplugged") << "AC:type=Mains,online=0;BAT0:type=Battery,present=1" << true;
        QTest::newRow("laptop plugged in") << "AC:type=Mains,online=1;BAT0:type=Battery,present=1" << false;
        QTest::newRow("charging over USB-C") << "BAT0:type=Battery,present=1;ucsi:type=USB,online=1" << false;
        QTest::newRow("battery slot empty") << "AC:type=Mains,online=0;BAT0:type=Battery,present=0" << false;
        QTest::newRow("only a wireless mouse's battery") << "hidpp:type=Battery,present=1,scope=Device" << false;
        QTest::newRow("battery that does not say it is present") << "BAT1:type=Battery" << true;
    }
    void theSupplyDecidesBattery()
    {
        QFETCH(QString, supplies);
        QFETCH(bool, onBattery);
        QTemporaryDir root;
        writeSupplies(root.path(), supplies);

        LogindPowerManagement power(root.path());

        QCOMPARE(power.isOnBattery(), onBattery);
    }

    void anUnreadableSupplyFolderIsNotBattery()
    {
        LogindPowerManagement power(QStringLiteral("/nonexistent/power_supply"));
        QVERIFY(!power.isOnBattery());
    }

    void theFreeSpaceIsTheVolumes()
    {
        QTemporaryDir folder;
        StatvfsDiskSpace disk;

        const auto capacity = disk.capacity(folder.path());

        QVERIFY(capacity);
        struct statvfs info {};
        QCOMPARE(statvfs(QFile::encodeName(folder.path()).constData(), &info), 0);
        const qint64 volumeSize = qint64(info.f_blocks) * qint64(info.f_frsize);
        QVERIFY(capacity->available && *capacity->available > 0 && *capacity->available <= volumeSize);
        QCOMPARE(capacity->importantUsage, capacity->available);
    }

    void aMissingFolderIsAnError()
    {
        StatvfsDiskSpace disk;
        const auto capacity = disk.capacity(QStringLiteral("/nonexistent/Recordings"));
        QVERIFY(!capacity);
        QCOMPARE(capacity.error().text, QString::fromLocal8Bit(std::strerror(ENOENT)));
    }
};

QTEST_GUILESS_MAIN(TestPowerAndDisk)
#include "tst_power_and_disk.moc"
