// The tray menu's rows: the frame's order and shortcuts, and the "Captures" section's visibility
// and rows for each state of upload, pairing, folder access, job counts and polling.

#include "app/CapturesSection.h"
#include "app/ContentView.h"

#include <QTest>

using namespace harkwell;

namespace {

using Access = std::optional<CaptureAccess::State>;

QStringList texts(const MenuRows& rows)
{
    QStringList result;
    for (const MenuRow& row : rows)
        result << (row.kind == MenuRow::Kind::Separator ? QStringLiteral("---") : row.text);
    return result;
}

const MenuRow* find(const MenuRows& rows, const QString& text)
{
    for (const MenuRow& row : rows)
        if (row.text == text)
            return &row;
    return nullptr;
}

CapturesSection::Inputs quiet()
{
    CapturesSection::Inputs inputs;
    inputs.now = QDateTime(QDate(2026, 3, 4), QTime(14, 30));
    inputs.isPaired = [] { return true; };
    inputs.voiceMemosRunning = [] { return false; };
    return inputs;
}

}  // namespace

class MenuTest : public QObject {
    Q_OBJECT
private slots:
    void frameOrderAndShortcuts()
    {
        int quits = 0;
        ContentView::Actions actions;
        actions.quit = [&] { ++quits; };
        const MenuRows rows = ContentView::build({}, actions);
        QCOMPARE(texts(rows), (QStringList{"Record\u2026", "---", "Vault", "---", "Search Vault...", "Refresh", "Settings...",
                                           "Welcome & guide...", "Quit"}));
        QCOMPARE(find(rows, "Search Vault...")->shortcut, QKeySequence("Ctrl+F"));
        QCOMPARE(find(rows, "Refresh")->shortcut, QKeySequence("Ctrl+R"));
        QCOMPARE(find(rows, "Settings...")->shortcut, QKeySequence("Ctrl+,"));
        QVERIFY(find(rows, "Welcome & guide...")->shortcut.isEmpty());
        QCOMPARE(find(rows, "Quit")->shortcut, QKeySequence("Ctrl+Q"));
        find(rows, "Quit")->action();
        QCOMPARE(quits, 1);

        const MenuRow* vault = find(rows, "Vault");
        QCOMPARE(texts(vault->children), (QStringList{"Today (0)", "---", "Search Vault..."}));
        QCOMPARE(texts(vault->children.first().children), QStringList{"No files created today"});
        QVERIFY(vault->children.last().shortcut.isEmpty());
    }

    void capturesSectionSitsBetweenVaultAndCommands()
    {
        ContentView::Inputs inputs;
        inputs.recordingAvailable = false;
        inputs.captures = quiet();
        inputs.captures.watching = true;
        const QStringList rows = texts(ContentView::build(inputs, {}));
        QCOMPARE(rows.mid(0, 3), (QStringList{"Vault", "Captures", "Capture: starting\u2026"}));
        QCOMPARE(rows.indexOf("Open capture log") + 1, rows.indexOf("---"));
    }

    void capturesRows_data()
    {
        QTest::addColumn<CapturesSection::Inputs>("inputs");
        QTest::addColumn<QStringList>("rows");  // empty: the section is left out

        QTest::newRow("fresh install: nothing to tell") << quiet() << QStringList{};
        {
            auto in = quiet();
            in.access = CaptureAccess::State::notConfigured();
            QTest::newRow("access not configured alone") << in << QStringList{};
            in.access = CaptureAccess::State::ok(3);
            QTest::newRow("access ok alone") << in << QStringList{};
        }
        {
            auto in = quiet();
            in.uploadEnabled = true;
            in.isPaired = [] { return false; };
            QTest::newRow("upload on, not paired")
                << in << QStringList{"Captures", "Mirelon not connected", "Connect in Settings...", "Open capture log"};
            in.uploadEnabled = false;
            QTest::newRow("upload off: pairing not asked") << in << QStringList{};
        }
        {
            auto in = quiet();
            in.access = CaptureAccess::State::denied();
            QTest::newRow("denied") << in
                                    << QStringList{"Captures", "Full Disk Access needed", "Open Full Disk Access settings...",
                                                   "Restart harkwell", "Open capture log"};
            in.access = CaptureAccess::State::missing();
            QTest::newRow("missing") << in << QStringList{"Captures", "Voice Memos folder not found", "Open capture log"};
            in.access = CaptureAccess::State::empty();
            QTest::newRow("empty") << in << QStringList{"Captures", "Voice Memos: readable but no audio files", "Open capture log"};
        }
        {
            auto in = quiet();
            in.snapshot.pending = 2;
            in.snapshot.done = 15;
            in.snapshot.failed = 1;
            QTest::newRow("counts line skips zero counts")
                << in << QStringList{"Captures", "2 pending, 15 done, 1 failed", "Open capture log"};
            in.snapshot = {};
            in.snapshot.processing = 1;
            in.snapshot.mostRecentId = "260304-091500";
            QTest::newRow("latest without title shows id")
                << in << QStringList{"Captures", "1 processing", "Open capture log", "Latest: 260304-091500"};
            in.snapshot.mostRecentTitle = "Standup notes";
            QTest::newRow("latest with title")
                << in << QStringList{"Captures", "1 processing", "Open capture log", "Latest: Standup notes"};
            in.snapshot.mostRecentId.reset();
            QTest::newRow("title without id: no latest row") << in << QStringList{"Captures", "1 processing", "Open capture log"};
        }
        {
            auto in = quiet();
            in.watching = true;
            QTest::newRow("watching, no poll yet") << in << QStringList{"Captures", "Capture: starting\u2026", "Open capture log"};
            in.lastPoll = QDateTime(QDate(2026, 3, 4), QTime(14, 5));
            QTest::newRow("polled, nothing new")
                << in << QStringList{"Captures", "Checked 14:05 \u00b7 nothing new since launch", "Open capture log"};
            in.lastNewCapture = QDateTime(QDate(2026, 3, 3), QTime(21, 40));
            in.keepVoiceMemosRunning = true;
            QTest::newRow("last new yesterday, Voice Memos kept but not running")
                << in << QStringList{"Captures", "Checked 14:05 \u00b7 last new Yesterday 21:40", "Voice Memos is not running",
                                     "Open capture log"};
            in.voiceMemosRunning = [] { return true; };
            in.lastNewCapture = QDateTime(QDate(2026, 3, 4), QTime(9, 2));
            QTest::newRow("last new today, Voice Memos running")
                << in << QStringList{"Captures", "Checked 14:05 \u00b7 last new Today 09:02", "Open capture log"};
        }
        {
            auto in = quiet();
            in.keepVoiceMemosRunning = true;
            in.snapshot.done = 1;
            QTest::newRow("keep running but not watching: no Voice Memos row")
                << in << QStringList{"Captures", "1 done", "Open capture log"};
        }
        {
            auto in = quiet();
            in.uploadEnabled = true;
            in.isPaired = [] { return false; };
            in.access = CaptureAccess::State::denied();
            in.snapshot.pending = 1;
            in.snapshot.mostRecentId = "260304-091500";
            in.watching = true;
            QTest::newRow("everything at once, in order")
                << in << QStringList{"Captures", "Mirelon not connected", "Connect in Settings...", "Full Disk Access needed",
                                     "Open Full Disk Access settings...", "Restart harkwell", "1 pending",
                                     "Capture: starting\u2026", "Open capture log", "Latest: 260304-091500"};
        }
    }
    void capturesRows()
    {
        QFETCH(CapturesSection::Inputs, inputs);
        QFETCH(QStringList, rows);
        QCOMPARE(texts(CapturesSection::rows(inputs, {})), rows);
    }

    void capturesRowsAct()
    {
        auto in = quiet();
        in.access = CaptureAccess::State::denied();
        in.uploadEnabled = true;
        in.isPaired = [] { return false; };
        in.snapshot.done = 1;
        in.snapshot.mostRecentId = "260304-091500";
        in.snapshot.mostRecentTitle = "Title";
        QStringList calls;
        CapturesSection::Actions actions;
        actions.showSettings = [&] { calls << "settings"; };
        actions.openFullDiskAccessSettings = [&] { calls << "fda"; };
        actions.promptAndRelaunch = [&](const QString& reason) { calls << "relaunch:" + reason; };
        actions.openLog = [&] { calls << "log"; };
        actions.openInboxNote = [&](const QString& id) { calls << "note:" + id; };
        const MenuRows rows = CapturesSection::rows(in, actions);
        for (const MenuRow& row : rows) {
            QCOMPARE(row.kind == MenuRow::Kind::Button, bool(row.action));
            if (row.action)
                row.action();
        }
        QCOMPARE(calls, (QStringList{"settings", "fda", "relaunch:" + QString(CapturesSection::kFullDiskAccessRestartReason), "log",
                                     "note:260304-091500"}));
    }

    void pairingIsAskedOnlyWhileUploadIsOn()
    {
        auto in = quiet();
        int asked = 0;
        in.isPaired = [&] { ++asked; return true; };
        CapturesSection::rows(in, {});
        QCOMPARE(asked, 0);
        in.uploadEnabled = true;
        CapturesSection::rows(in, {});
        QCOMPARE(asked, 1);
    }

    void heartbeatOlderDayUsesShortDate()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        const QDateTime now(QDate(2026, 3, 4), QTime(14, 30));
        QCOMPARE(CapturesSection::heartbeatLine(QDateTime(QDate(2026, 3, 4), QTime(14, 5)), QDateTime(QDate(2026, 2, 27), QTime(8, 0)), now),
                 QString("Checked 14:05 \u00b7 last new Feb 27 08:00"));
    }
};

Q_DECLARE_METATYPE(harkwell::CapturesSection::Inputs)

QTEST_MAIN(MenuTest)
#include "tst_menu.moc"
