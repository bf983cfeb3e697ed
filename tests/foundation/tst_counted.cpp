// Counts as the windows show them.

#include "foundation/Counted.h"

#include <QTest>

using namespace harkwell;

class CountedTest : public QObject {
    Q_OBJECT
private slots:
    void nounFollowsTheCount_data()
    {
        QTest::addColumn<qint64>("count");
        QTest::addColumn<QString>("shown");
        QTest::newRow("none") << qint64(0) << "0 files";
        QTest::newRow("one") << qint64(1) << "1 file";
        QTest::newRow("two") << qint64(2) << "2 files";
    }
    void nounFollowsTheCount()
    {
        QFETCH(qint64, count);
        QFETCH(QString, shown);
        QCOMPARE(counted(count, QStringLiteral("file"), QStringLiteral("files")), shown);
    }
};

QTEST_GUILESS_MAIN(CountedTest)
#include "tst_counted.moc"
