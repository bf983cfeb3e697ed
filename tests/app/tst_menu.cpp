// The tray menu's rows: the frame's order and shortcuts, the record section for each state of the
// recorder, its warnings and unfinished recordings, and the "Captures" section's visibility and
// rows for each state of upload, pairing, folder access, job counts and polling.

#include "MenuTree.h"
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

using Record = RecordingMenuSection::Inputs;
using WarningKind = RecordingWarning::Kind;

RecordingSidecar pending(const QString& id, bool systemSilent, std::optional<QString> microphone, bool micSilent)
{
    RecordingSidecar sidecar;
    sidecar.id = id;
    sidecar.systemSideSilent = systemSilent;
    sidecar.microphoneName = std::move(microphone);
    sidecar.micSideSilent = micSilent;
    return sidecar;
}

Record recorder(RecordingState state, QList<RecordingWarning> warnings = {})
{
    Record in;
    in.state = std::move(state);
    in.warnings = std::move(warnings);
    return in;
}

RecordingState with(RecordingState::Kind kind) { return {kind, {}}; }

CapturesSection::Inputs quiet()
{
    CapturesSection::Inputs inputs;
    inputs.now = QDateTime(QDate(2026, 3, 4), QTime(14, 30));
    inputs.isPaired = [] { return true; };
    inputs.voiceMemosRunning = [] { return false; };
    return inputs;
}

}  // namespace

Q_DECLARE_METATYPE(harkwell::CapturesSection::Inputs)
Q_DECLARE_METATYPE(harkwell::RecordingMenuSection::Inputs)

class MenuTest : public QObject {
    Q_OBJECT
private slots:
    void frameOrderAndShortcuts()
    {
        int quits = 0;
        ContentView::Actions actions;
        actions.quit = [&] { ++quits; };
        const MenuRows rows = ContentView::build({}, actions);
        QCOMPARE(texts(rows), (QStringList{"Record\u2026", "---", "Vault", "---", "Search Vault\u2026", "Refresh", "Settings\u2026",
                                           "Welcome & guide\u2026", "Quit"}));
        QCOMPARE(find(rows, "Search Vault\u2026")->shortcut, QKeySequence("Ctrl+F"));
        QCOMPARE(find(rows, "Refresh")->shortcut, QKeySequence("Ctrl+R"));
        QCOMPARE(find(rows, "Settings\u2026")->shortcut, QKeySequence("Ctrl+,"));
        QVERIFY(find(rows, "Welcome & guide\u2026")->shortcut.isEmpty());
        QCOMPARE(find(rows, "Quit")->shortcut, QKeySequence("Ctrl+Q"));
        find(rows, "Quit")->action();
        QCOMPARE(quits, 1);

        const MenuRow* vault = find(rows, "Vault");
        QCOMPARE(texts(vault->children), (QStringList{"Today (0)", "---", "Search Vault\u2026"}));
        QCOMPARE(texts(vault->children.first().content()), QStringList{"No files created today"});
        QVERIFY(vault->children.last().shortcut.isEmpty());
    }

    void recordSection_data()
    {
        QTest::addColumn<Record>("inputs");
        QTest::addColumn<QStringList>("rows");
        using Kind = RecordingState::Kind;
        const QString sysFailure = "Could not record System Audio: access denied";
        const QStringList sysButtons{"Restart harkwell"};

        QTest::newRow("idle") << recorder({}) << QStringList{"Record\u2026"};
        QTest::newRow("starting") << recorder(with(Kind::Starting)) << QStringList{"Starting recording\u2026"};
        QTest::newRow("finishing") << recorder(with(Kind::Finishing)) << QStringList{"Finishing recording\u2026"};
        QTest::newRow("recording all audio") << recorder(with(Kind::Recording)) << QStringList{"Recording \u00b7 All audio\u2026"};
        {
            Record in = recorder(with(Kind::Paused));
            in.source = RecordingSource::app("us.zoom.xos", "Zoom");
            QTest::newRow("one app, paused") << in << QStringList{"Paused \u00b7 Zoom\u2026"};
        }
        QTest::newRow("failure about system audio, any case")
            << recorder(RecordingState::failed(sysFailure)) << QStringList{sysFailure} + sysButtons + QStringList{"Dismiss"};
        QTest::newRow("failure about audio recording")
            << recorder(RecordingState::failed("The Audio Recording permission is missing"))
            << QStringList{"The Audio Recording permission is missing"} + sysButtons + QStringList{"Dismiss"};
        QTest::newRow("system-audio failure with its warning: buttons under the warning")
            << recorder(RecordingState::failed(sysFailure), {{WarningKind::SystemAudio, "No system audio reached harkwell."}})
            << QStringList{sysFailure, "Dismiss", "No system audio reached harkwell."} + sysButtons;
        QTest::newRow("other failure") << recorder(RecordingState::failed("Disk full")) << QStringList{"Disk full", "Dismiss"};
        QTest::newRow("system-audio warning while recording: no restart")
            << recorder(with(Kind::Recording), {{WarningKind::SystemAudio, "Silent"}})
            << QStringList{"Recording \u00b7 All audio\u2026", "Silent"};
        QTest::newRow("system-audio warning while starting: no restart")
            << recorder(with(Kind::Starting), {{WarningKind::SystemAudio, "Silent"}})
            << QStringList{"Starting recording\u2026", "Silent"};
        QTest::newRow("each warning kind's buttons, in order")
            << recorder(with(Kind::Recording), {{WarningKind::MicrophoneAccess, "mic off"},
                                                {WarningKind::MicrophoneSilent, "mic silent"},
                                                {WarningKind::Power, "battery"},
                                                {WarningKind::Note, "note"},
                                                {WarningKind::SpeakerEcho, "echo"}})
            << QStringList{"Recording \u00b7 All audio\u2026", "mic off", "mic silent",
                           "Recording settings\u2026", "battery", "note", "echo", "Recording settings\u2026"};
        {
            Record in = recorder(with(Kind::Recording), {{WarningKind::Note, "note"}});
            in.visibleConsentReminder = "Tell the others";
            in.lastResult = "Sent 2 parts";
            in.pendingRecovery = {pending("260301-100000", false, std::nullopt, false)};
            QTest::newRow("groups in order: state, consent, warnings, result, recoveries")
                << in
                << QStringList{"Recording \u00b7 All audio\u2026", "Tell the others", "note", "Sent 2 parts",
                               "Unfinished recording 260301-100000", "  Send what was recorded", "  Discard"};
        }
        {
            Record in;
            in.pendingRecovery = {pending("a", true, std::nullopt, false), pending("b", true, "Mic", false),
                                  pending("c", false, "Mic", true), pending("d", true, "Mic", true),
                                  pending("e", false, std::nullopt, false)};
            in.recoveriesInFlight = {"e"};
            QTest::newRow("recoveries: silent only when every side taken was silent; in flight has no action")
                << in
                << QStringList{"Record\u2026",
                               "Silent recording a",     "  Discard",
                               "Unfinished recording b", "  Send what was recorded", "  Discard",
                               "Unfinished recording c", "  Send what was recorded", "  Discard",
                               "Silent recording d",     "  Discard",
                               "Sending recording e\u2026"};
        }
    }
    void recordSection()
    {
        QFETCH(Record, inputs);
        QFETCH(QStringList, rows);
        QCOMPARE(test::tree(RecordingMenuSection::rows(inputs, {})), rows);
    }

    void recordSectionActs()
    {
        QStringList calls;
        RecordingMenuSection::Actions actions;
        actions.bringRecorderForward = [&] { calls << "front"; };
        actions.discard = [&] { calls << "discard"; };
        actions.recoverSend = [&](const QString& id) { calls << "send:" + id; };
        actions.recoverDiscard = [&](const QString& id) { calls << "recoverDiscard:" + id; };
        actions.confirmDiscard = [&](const QString& message, const QString& detail, std::function<void()> onConfirm) {
            calls << "confirm:" + message + "|" + detail;
            onConfirm();
        };
        actions.openPrivacySettings = [&](const QString& link) { calls << "open:" + link; };
        actions.showSettings = [&] { calls << "settings"; };
        actions.promptAndRelaunch = [&](const QString& reason) { calls << "relaunch:" + reason; };

        Record in = recorder(RecordingState::failed("system audio is off"),
                             {{WarningKind::MicrophoneAccess, "mic"}, {WarningKind::MicrophoneSilent, "quiet"}});
        in.pendingRecovery = {pending("s", true, std::nullopt, false), pending("u", false, std::nullopt, false)};
        const MenuRows rows = RecordingMenuSection::rows(in, actions);
        for (const char* text : {"Restart harkwell", "Dismiss", "Recording settings\u2026"})
            test::findRow(rows, text)->action();
        test::findRow(rows, "Silent recording s")->children[0].action();
        const auto unfinished = test::findRow(rows, "Unfinished recording u");
        unfinished->children[0].action();
        unfinished->children[1].action();
        QCOMPARE(calls, (QStringList{
                            "relaunch:" + QString(RecordingMenuSection::kSystemAudioRestartReason),
                            "discard",
                            "settings",
                            "confirm:Discard silent recording s?|No audio reached harkwell during this recording, so it "
                            "holds only silence. It is deleted and not sent.",
                            "recoverDiscard:s",
                            "send:u",
                            "confirm:Discard unfinished recording u?|The audio recorded before harkwell stopped is deleted "
                            "and not sent. This cannot be undone.",
                            "recoverDiscard:u",
                        }));

        calls.clear();
        test::findRow(RecordingMenuSection::rows(recorder(with(RecordingState::Kind::Paused)), actions),
                      "Paused \u00b7 All audio\u2026")
            ->action();
        QCOMPARE(calls, QStringList{"front"});
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
                << in << QStringList{"Captures", "Mirelon not connected", "Connect in Settings\u2026", "Open capture log"};
            in.uploadEnabled = false;
            QTest::newRow("upload off: pairing not asked") << in << QStringList{};
        }
        {
            auto in = quiet();
            in.access = CaptureAccess::State::denied();
            QTest::newRow("denied") << in
                                    << QStringList{"Captures", "Full Disk Access needed", "Open Full Disk Access settings\u2026",
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
                << in << QStringList{"Captures", "Mirelon not connected", "Connect in Settings\u2026", "Full Disk Access needed",
                                     "Open Full Disk Access settings\u2026", "Restart harkwell", "1 pending",
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

QTEST_MAIN(MenuTest)
#include "tst_menu.moc"
