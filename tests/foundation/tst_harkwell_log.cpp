// The log file: created on first use, appended in call order, rotated past 5,000,000 bytes.

#include "foundation/HarkwellLog.h"
#include "platform/paths/Paths.h"
#include "support/TempHome.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace harkwell;

namespace {
QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
}  // namespace

class HarkwellLogTest : public QObject {
    Q_OBJECT
private slots:
    void firstLineCreatesFolderAndFile()
    {
        test::TempHome home;
        HarkwellLog::write("[harkwell] capture: one");
        HarkwellLog::write("[harkwell] capture: two\nwith a break");
        HarkwellLog::waitUntilWritten();
        const QString text = QString::fromUtf8(readAll(Paths::logFile()));
        static const QRegularExpression record(
            R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d) \[harkwell\] capture: one\n)"
            R"(\S+ \[harkwell\] capture: two\nwith a break\n$)");
        QVERIFY2(record.match(text).hasMatch(), qPrintable(text));
    }

    void rotatesOnlyAboveFiveMillionBytes_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("rotates");
        QTest::newRow("exactly 5,000,000 appends") << qint64(5'000'000) << false;
        QTest::newRow("5,000,001 rotates") << qint64(5'000'001) << true;
    }
    void rotatesOnlyAboveFiveMillionBytes()
    {
        QFETCH(qint64, size);
        QFETCH(bool, rotates);
        test::TempHome home;
        home.writeFile("Library/Logs/harkwell/harkwell.1.log", "older rotation");
        home.writeFile("Library/Logs/harkwell/harkwell.log", QByteArray(size, 'x'));
        HarkwellLog::write("[harkwell] launch: next");
        HarkwellLog::waitUntilWritten();
        const QByteArray current = readAll(Paths::logFile());
        if (rotates) {
            QVERIFY(current.endsWith(" [harkwell] launch: next\n"));
            QVERIFY(current.size() < 100);
            QCOMPARE(readAll(Paths::rotatedLogFile()).size(), size);
        } else {
            QVERIFY(current.size() > size);
            QCOMPARE(readAll(Paths::rotatedLogFile()), QByteArray("older rotation"));
        }
    }
};

QTEST_GUILESS_MAIN(HarkwellLogTest)
#include "tst_harkwell_log.moc"
