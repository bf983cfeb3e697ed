// Opening files and links without waiting, and reading delivery manifests.

#include "foundation/HarkwellLog.h"
#include "foundation/Opening.h"
#include "foundation/OutboxManager.h"
#include "platform/paths/Paths.h"
#include "platform/workspace/FakeWorkspace.h"
#include "support/LogFile.h"
#include "support/TempHome.h"

#include <QFile>
#include <QTest>

using namespace harkwell;

namespace {
using Fields = QMap<QString, QString>;

using test::logText;
}  // namespace

class OpeningManifestTest : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { Opening::setWorkspace(nullptr); }

    void opensLaterOnTheMainThread()
    {
        test::TempHome home;
        FakeWorkspace workspace;
        Opening::setWorkspace(&workspace);
        const QString file = home.writeFile("vault/note.md", "x");
        Opening::openWithoutWaiting(QUrl::fromLocalFile(file));
        QVERIFY(workspace.opened().isEmpty());  // returned before the open was attempted
        QTRY_COMPARE_WITH_TIMEOUT(workspace.opened(), QList<QUrl>{QUrl::fromLocalFile(file)}, 5000);
        QVERIFY(logText().isEmpty());  // success logs nothing
    }

    void failuresLeaveOneLogLine_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<bool>("workspaceSucceeds");
        QTest::addColumn<QString>("named");
        QTest::newRow("missing file") << QUrl::fromLocalFile("/nonexistent/harkwell note.md") << true
                                      << "[harkwell] open /nonexistent/harkwell note.md failed -- ";
        // The desktop's opener takes any link; the MIME database knows no handler for this one.
        QTest::newRow("unhandled scheme") << QUrl("nosuchscheme://x/a%20b") << true
                                          << "[harkwell] open nosuchscheme://x/a%20b failed -- No application knows how to open it.";
    }
    void failuresLeaveOneLogLine()
    {
        QFETCH(QUrl, url);
        QFETCH(bool, workspaceSucceeds);
        QFETCH(QString, named);
        test::TempHome home;
        FakeWorkspace workspace;
        workspace.setSucceeds(workspaceSucceeds);
        Opening::setWorkspace(&workspace);
        Opening::openWithoutWaiting(url);
        QTRY_VERIFY_WITH_TIMEOUT(logText().count(named) == 1, 10000);
        QVERIFY(workspace.opened().isEmpty());
    }

    void manifestFields_data()
    {
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<Fields>("fields");
        QTest::newRow("first key wins") << QByteArray("**Kontakt:** A\n**Kontakt:** B\n") << Fields{{"Kontakt", "A"}};
        QTest::newRow("empty value skipped") << QByteArray("**Kanal:**\n**Kanal:** Mail") << Fields{{"Kanal", "Mail"}};
        QTest::newRow("value trimmed") << QByteArray("**Kanal:** \t Mail  \r\n") << Fields{{"Kanal", "Mail"}};
        QTest::newRow("list marker and outer colon")
            << QByteArray("- **Kanal:** Mail\n**Kanal**: Mail\n# Title\n") << Fields{};
        QTest::newRow("key kept with its blanks") << QByteArray("** Due date :** Friday\u2028**Owner:** Ann")
                                                  << Fields{{" Due date ", "Friday"}, {"Owner", "Ann"}};
        QTest::newRow("not UTF-8") << QByteArray("**Kanal:** \xff\xfe") << Fields{};
    }
    void manifestFields()
    {
        QFETCH(QByteArray, manifest);
        QFETCH(Fields, fields);
        test::TempHome home;
        home.writeFile("vault/_outbox/2025-01-02 delivery/_manifest.md", manifest);
        QCOMPARE(OutboxManager::manifestFields(home.path() + "/vault/_outbox/2025-01-02 delivery"), fields);
    }

    void folderWithoutManifestHasNoFields()
    {
        test::TempHome home;
        QVERIFY(OutboxManager::manifestFields(home.make("vault/_outbox/empty")).isEmpty());
    }
};

QTEST_MAIN(OpeningManifestTest)
#include "tst_opening_manifest.moc"
