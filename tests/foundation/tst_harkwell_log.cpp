// The log file: created on first use, appended in call order, rotated past 5,000,000 bytes, one
// line per record whatever the text holds, and never a half record after a failed write.

#include "foundation/HarkwellLog.h"
#include "platform/paths/Paths.h"
#include "support/LocalZone.h"
#include "support/TempHome.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

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
        HarkwellLog::write("[harkwell] capture: two");
        HarkwellLog::waitUntilWritten();
        const QString text = QString::fromUtf8(readAll(Paths::logFile()));
        static const QRegularExpression record(
            R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d) \[harkwell\] capture: one\n)"
            R"(\S+ \[harkwell\] capture: two\n$)");
        QVERIFY2(record.match(text).hasMatch(), qPrintable(text));
    }

    // The stamp is the wall clock of the process's zone with that zone's offset, "Z" for UTC.
    void theStampIsLocalTimeWithItsOffset_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("offset");
        QTest::newRow("UTC") << QByteArray("UTC") << "Z";
        QTest::newRow("half an hour east") << QByteArray("Asia/Kolkata") << "+05:30";
        QTest::newRow("west") << QByteArray("Etc/GMT+4") << "-04:00";
    }
    void theStampIsLocalTimeWithItsOffset()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QString, offset);
        test::TempHome home;
        test::LocalZone local(zone);
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        HarkwellLog::write("[harkwell] capture: one");
        HarkwellLog::waitUntilWritten();
        const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);
        const QString text = QString::fromUtf8(readAll(Paths::logFile()));
        static const QRegularExpression record(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)(Z|[+-]\d\d:\d\d) \[harkwell\] capture: one\n$)");
        const QRegularExpressionMatch match = record.match(text);
        QVERIFY2(match.hasMatch(), qPrintable(text));
        QCOMPARE(match.captured(2), offset);
        // The clock part is the zone's own wall clock: read with its offset, it is the moment written.
        const QDateTime stamped = QDateTime::fromString(match.captured(1) + match.captured(2), Qt::ISODate);
        QVERIFY2(stamped >= before && stamped <= after, qPrintable(text));
    }

    // A service's error text or a file name can hold anything; none of it may start a record of its
    // own that looks like ours.
    void everyRecordIsOneLine_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("written");
        const QString forged = "2026-03-04T09:15:02Z [harkwell] pairing: connected";
        QTest::newRow("line feed") << "boom\n" + forged << "boom\\n" + forged;
        QTest::newRow("carriage return and tab") << "a\r\nb\tc" << "a\\r\\nb\\tc";
        QTest::newRow("escape sequence") << "\x1b[2Kname" << "\\u001b[2Kname";
        QTest::newRow("unicode line separators") << QString("a\u2028b\u2029c\u0085d")
                                                 << "a\\u2028b\\u2029c\\u0085d";
        QTest::newRow("percent signs stay") << "folder Take %1 and 50%" << "folder Take %1 and 50%";
        QTest::newRow("backslashes and accents stay") << "C:\\x caf\u00e9" << QString("C:\\x caf\u00e9");
        // File names that are not UTF-8 keep their bytes as lone surrogates (FileNames::text).
        QTest::newRow("bytes of a name that is not UTF-8") << QString::fromUtf16(u"memo \xDCFF\xDCE9.m4a") << "memo \\xFF\\xE9.m4a";
        QTest::newRow("other lone surrogates") << QString::fromUtf16(u"a\xD800" u"b\xDC10") << "a\\ud800b\\udc10";
        QTest::newRow("a pair stays") << QString::fromUtf16(u"\U0001F600") << QString::fromUtf16(u"\U0001F600");
    }
    void everyRecordIsOneLine()
    {
        QFETCH(QString, text);
        QFETCH(QString, written);
        test::TempHome home;
        HarkwellLog::log("[harkwell] service: " + text);
        HarkwellLog::write("[harkwell] next");
        HarkwellLog::waitUntilWritten();
        const QStringList lines = QString::fromUtf8(readAll(Paths::logFile())).split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).endsWith(" [harkwell] service: " + written));
        QVERIFY(lines.at(1).endsWith(" [harkwell] next"));
        QCOMPARE(lines.at(2), QString());
    }

    // A disk that fills part-way through a record: the stub is taken back, and the next record
    // starts its own line instead of continuing the half one.
    void aShortWriteLeavesNoHalfRecord()
    {
        test::TempHome home;
        HarkwellLog::write("[harkwell] first");
        HarkwellLog::waitUntilWritten();
        const qint64 before = readAll(Paths::logFile()).size();

        // The file-size limit stands in for the full disk: writes past it come back short, then fail.
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(before + 60);  // inside the new record's text
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &tight), 0);
        HarkwellLog::write("[harkwell] " + QString(200, 'x'));
        HarkwellLog::waitUntilWritten();
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &saved), 0);
        std::signal(SIGXFSZ, previous);

        HarkwellLog::write("[harkwell] after");
        HarkwellLog::waitUntilWritten();
        const QStringList lines = QString::fromUtf8(readAll(Paths::logFile())).split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).endsWith(" [harkwell] first"));
        QVERIFY2(lines.at(1).endsWith(" [harkwell] after") && lines.at(1).count("[harkwell]") == 1,
                 qPrintable(lines.at(1)));
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
        home.writeFile(Paths::logsFolder() + "/harkwell.1.log", "older rotation");
        home.writeFile(Paths::logsFolder() + "/harkwell.log", QByteArray(size, 'x'));
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
