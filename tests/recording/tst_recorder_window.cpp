// The recorder panel offscreen: when it rises and hides, what it shows in each state, what its
// controls do, the discard alert, the quick-record key, its saved frame, and the level bars.

#include "SessionFixture.h"

#include "foundation/Contrast.h"
#include "foundation/HarkwellLog.h"
#include "platform/defaults/Defaults.h"
#include "platform/hotkeys/FakeGlobalKeys.h"
#include "platform/paths/Paths.h"
#include "recording/LevelMeter.h"
#include "recording/RecorderView.h"
#include "recording/RecorderWindowController.h"
#include "support/LogFile.h"
#include "vault/HotkeyManager.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>

using namespace harkwell;
using Kind = RecordingState::Kind;

namespace {

using test::logText;

// A button's text as it shows: "&&" is a literal "&", a single "&" marks a mnemonic.
QString shown(const QString& text)
{
    QString plain;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size())
            ++i;
        plain += text[i];
    }
    return plain;
}

QPushButton* button(QWidget* panel, const QString& text)
{
    for (QPushButton* b : panel->findChildren<QPushButton*>())
        if (shown(b->text()) == text && b->isVisibleTo(panel))
            return b;
    return nullptr;
}

int visibleMeters(QWidget* panel)
{
    const auto meters = panel->findChildren<LevelMeter*>();
    return int(std::count_if(meters.begin(), meters.end(), [panel](LevelMeter* m) { return m->isVisibleTo(panel); }));
}

QStringList buttons(QWidget* panel)
{
    QStringList texts;
    for (QPushButton* b : panel->findChildren<QPushButton*>())
        if (b->isVisibleTo(panel))
            texts.append(shown(b->text()));
    return texts;
}

struct Window {
    test::SessionFixture f;
    RecorderWindowController controller{*f.session, f.settings};
    RecorderView* view() const { return controller.panel() ? controller.panel()->findChild<RecorderView*>() : nullptr; }
};

}  // namespace

class TestRecorderWindow : public QObject {
    Q_OBJECT

private slots:
    void thePanelRisesOncePerRecordingAndHidesAtIdle()
    {
        Window w;
        w.controller.install();
        QCoreApplication::processEvents();
        QVERIFY(!w.controller.panel());  // idle at launch makes nothing

        w.f.start();
        QTRY_VERIFY_WITH_TIMEOUT(w.controller.panel() && w.controller.panel()->isVisible(), 5000);
        QCOMPARE(w.controller.panel()->windowTitle(), QStringLiteral("harkwell Recorder"));
        QVERIFY(w.controller.panel()->windowFlags() & Qt::Tool);
        QVERIFY(w.controller.panel()->windowFlags() & Qt::WindowStaysOnTopHint);

        w.controller.panel()->close();  // the user closes it: hidden, nothing stops
        w.f.session->pause();
        QCoreApplication::processEvents();
        QVERIFY(!w.controller.panel()->isVisible());
        QCOMPARE(w.f.session->state().kind, Kind::Paused);

        w.f.session->discard();
        QCoreApplication::processEvents();
        QVERIFY(!w.controller.panel()->isVisible());
        w.f.start();
        QTRY_VERIFY_WITH_TIMEOUT(w.controller.panel()->isVisible(), 5000);
    }

    void withoutShowWindowTheQuickKeyRaisesIt()
    {
        Window w;
        w.f.settings.update([](AppSettings& s) {
            s.recordingShowWindow = false;
            s.recordingSource = RecordingSource::app("us.zoom.xos", "Zoom");
            s.recordingIncludeMicrophone = false;
        });
        auto keys = std::make_unique<FakeGlobalKeys>();
        FakeGlobalKeys* fake = keys.get();
        HotkeyManager hotkeys(std::move(keys));
        w.controller.install();
        w.controller.applyQuickKey(hotkeys);
        QVERIFY(hotkeys.isRecordKeyRegistered());

        fake->press(HotkeyManager::kRecordKeyId);
        QTRY_COMPARE_WITH_TIMEOUT(w.f.session->state().kind, Kind::Recording, 5000);
        QCoreApplication::processEvents();
        QVERIFY(!w.controller.panel());
        QCOMPARE(w.f.session->options().source, RecordingSource::app("us.zoom.xos", "Zoom"));
        QVERIFY(!w.f.session->options().includeMicrophone);
        QCOMPARE(logText().count("[harkwell] recorder: start from the quick-record key"), 1);

        fake->press(HotkeyManager::kRecordKeyId);  // during the recording: only the panel
        QTRY_VERIFY_WITH_TIMEOUT(w.controller.panel() && w.controller.panel()->isVisible(), 5000);
        QCOMPARE(logText().count("[harkwell] recorder: start from the quick-record key"), 1);
        // The controls show what the quick start took.
        QCOMPARE(w.view()->source(), RecordingSource::app("us.zoom.xos", "Zoom"));
        QVERIFY(!w.view()->microphone());

        w.f.settings.update([](AppSettings& s) { s.recordingQuickKey = false; });
        w.controller.applyQuickKey(hotkeys);
        QVERIFY(!hotkeys.isRecordKeyRegistered());
    }

    void theControlsActByState()
    {
        Window w;
        w.controller.install();
        QWidget* panel = w.controller.makePanel();
        std::unique_ptr<QWidget> owned(panel);
        panel->show();
        auto* view = panel->findChild<RecorderView*>();
        QCOMPARE(buttons(panel), QStringList{"Record"});
        QCOMPARE(button(panel, "Record")->toolTip(), QStringLiteral("Start from anywhere with Ctrl+Alt+Super+R"));

        panel->findChild<QCheckBox*>()->setChecked(false);  // only prepares the next Record
        QCOMPARE(w.f.session->state().kind, Kind::Idle);
        button(panel, "Record")->click();
        QTRY_COMPARE_WITH_TIMEOUT(w.f.session->state().kind, Kind::Recording, 5000);
        QVERIFY(!w.f.session->options().includeMicrophone);
        QCOMPARE(buttons(panel), (QStringList{"Pause", "Discard…", "Stop & send"}));
        QCOMPARE(RecorderView::stateTitle(w.f.session->state()), QStringLiteral("Recording"));
        QCOMPARE(visibleMeters(panel), 1);

        // Turning the microphone on while recording applies it to the running recording.
        panel->findChild<QCheckBox*>()->setChecked(true);
        QTRY_VERIFY_WITH_TIMEOUT(w.f.session->options().includeMicrophone, 5000);
        QCOMPARE(visibleMeters(panel), 2);

        button(panel, "Pause")->click();
        QCOMPARE(w.f.session->state().kind, Kind::Paused);
        QCOMPARE(buttons(panel), (QStringList{"Resume", "Discard…", "Stop & send"}));
        button(panel, "Resume")->click();
        QCOMPARE(w.f.session->state().kind, Kind::Recording);

        w.f.play(1.0);
        button(panel, "Stop & send")->click();
        QTRY_COMPARE_WITH_TIMEOUT(w.f.session->state().kind, Kind::Idle, 20000);
        QCOMPARE(buttons(panel), QStringList{"Record"});
        QVERIFY(view);
    }

    void discardAsksFirst_data()
    {
        QTest::addColumn<bool>("confirm");
        QTest::newRow("Discard") << true;
        QTest::newRow("Keep") << false;
    }
    void discardAsksFirst()
    {
        QFETCH(bool, confirm);
        Window w;
        std::unique_ptr<QWidget> panel(w.controller.makePanel());
        panel->show();
        w.f.start();
        w.f.play(65.0, false);
        QString detail;
        QString message;
        QString defaultButton;
        QString title;
        QWidget* over = nullptr;
        Qt::WindowModality modality = Qt::NonModal;
        // Answers the alert once it is up.
        QTimer answer;
        connect(&answer, &QTimer::timeout, this, [&] {
            auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!alert)
                return;
            answer.stop();
            detail = alert->informativeText();
            message = alert->text();
            defaultButton = alert->defaultButton() ? alert->defaultButton()->text() : QString();
            title = alert->windowTitle();
            over = alert->parentWidget();
            modality = alert->windowModality();
            for (QAbstractButton* b : alert->buttons())
                if (b->text() == (confirm ? "Discard" : "Keep"))
                    b->click();
        });
        answer.start(10);

        button(panel.get(), "Discard…")->click();

        QTRY_VERIFY_WITH_TIMEOUT(!detail.isEmpty(), 5000);
        QCOMPARE(message, QStringLiteral("Discard this recording?"));
        QCOMPARE(defaultButton, QStringLiteral("Keep"));
        // It asks over the panel and holds only the panel: a search panel kept on top can neither
        // hide it nor be locked out by it.
        QCOMPARE(over, panel.get());
        QCOMPARE(modality, Qt::WindowModal);
        QCOMPARE(title, QStringLiteral("Discard Recording"));
        QCOMPARE(detail, QStringLiteral("The 01:05 recorded so far is deleted and not sent. This cannot be undone."));
        QTRY_COMPARE_WITH_TIMEOUT(w.f.session->state().kind, confirm ? Kind::Idle : Kind::Recording, 5000);
    }

    void theFrameIsKeptAcrossLaunches()
    {
        Window w;
        {
            std::unique_ptr<QWidget> panel(w.controller.makePanel());
            panel->show();
            panel->move(123, 77);
            QCoreApplication::processEvents();
            panel->close();  // the close button only hides it
        }
        const auto saved = Defaults::standard().stringValue("NSWindow Frame HarkwellRecorder");
        QVERIFY(saved);
        QCOMPARE(*saved, QStringLiteral("123 77"));  // the size follows what the panel shows
        std::unique_ptr<QWidget> again(w.controller.makePanel());
        QCOMPARE(again->pos(), QPoint(123, 77));
    }

    void returnPressesTheStatesButton()
    {
        Window w;
        std::unique_ptr<QWidget> panel(w.controller.makePanel());
        panel->show();
        auto* view = panel->findChild<RecorderView*>();
        QTest::keyClick(view, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(w.f.session->state().kind, Kind::Recording, 5000);
        w.f.play(1.0);
        QTest::keyClick(view, Qt::Key_Enter);  // "Stop & send", not "Pause"
        QTRY_COMPARE_WITH_TIMEOUT(w.f.session->state().kind, Kind::Idle, 20000);
    }

    void warningsShowInFullAndThePanelFollowsItsContent()
    {
        Window w;
        w.f.hal.removeDevice("mic");
        w.f.hal.addDevice({"mic2", "USB Microphone", {1}, {}, 48000, AudioTransport::kUsb});
        w.f.hal.setDefaultInput("mic2");  // digitally silent: the guard warns after 6 s
        std::unique_ptr<QWidget> panel(w.controller.makePanel());
        panel->show();
        w.f.start();
        w.f.play(1.0);
        const int plain = panel->height();

        w.f.play(7.0);
        QVERIFY(!w.f.warningTexts().isEmpty());
        QLabel* warning = nullptr;
        for (QLabel* label : panel->findChildren<QLabel*>())
            if (label->text() == w.f.warningTexts().first())
                warning = label;
        QVERIFY(warning && warning->isVisibleTo(panel.get()));
        QVERIFY(warning->heightForWidth(warning->width()) > 2 * warning->fontMetrics().height());  // three lines
        QVERIFY2(warning->height() >= warning->heightForWidth(warning->width()),
                 qPrintable(QString("%1 < %2").arg(warning->height()).arg(warning->heightForWidth(warning->width()))));
        QVERIFY(warning->mapTo(panel.get(), QPoint(0, warning->height())).y() <= panel->height());
        QVERIFY(panel->height() > plain);

        // Readable on a light and on a dark panel.
        for (const auto& [window, text] : {std::pair{QColor(0xefefef), QColor(Qt::black)},
                                           std::pair{QColor(0x2b2b2b), QColor(0xeeeeee)}}) {
            QPalette palette = panel->palette();
            palette.setColor(QPalette::Window, window);
            palette.setColor(QPalette::WindowText, text);
            panel->setPalette(palette);
            const QColor colour = warning->palette().color(QPalette::WindowText);
            QVERIFY2(Contrast::ratio(colour, window) >= Contrast::kText, qPrintable(colour.name() + " on " + window.name()));
        }

        // Back to its plain height once the warning is gone, and no size is kept for next time.
        w.f.session->discard();
        QTRY_COMPARE(w.f.session->state().kind, Kind::Idle);
        w.f.start();
        w.f.play(1.0);
        QCOMPARE(panel->height(), plain);
        const auto saved = Defaults::standard().stringValue("NSWindow Frame HarkwellRecorder");
        QVERIFY(!saved || saved->split(' ').size() == 2);
        w.f.session->discard();
    }

    // Automatic echo cancelling on an output that cannot tell its kind: on as for speakers, unless
    // the output is the microphone's own headset; the caption says which.
    void anUntoldOutputCountsAsSpeakers_data()
    {
        QTest::addColumn<QString>("outputName");
        QTest::addColumn<quint32>("transport");
        QTest::addColumn<bool>("headset");
        QTest::addColumn<bool>("active");
        QTest::addColumn<QString>("caption");
        QTest::newRow("a null sink") << "Null Output" << AudioTransport::kVirtual << false << true
                                     << "Echo cancellation on (output taken as speakers)";
        QTest::newRow("a USB card without routes") << "USB Audio" << AudioTransport::kUsb << false << true
                                                   << "Echo cancellation on (output taken as speakers)";
        QTest::newRow("the microphone's USB headset") << "USB Audio" << AudioTransport::kUsb << true << false
                                                      << "Headset: no echo";
    }
    void anUntoldOutputCountsAsSpeakers()
    {
        QFETCH(QString, outputName);
        QFETCH(quint32, transport);
        QFETCH(bool, headset);
        QFETCH(bool, active);
        QFETCH(QString, caption);
        Window w;
        SimulatedAudioHardware::Device output{"out", outputName, {}, {2}, 48000, transport};
        output.modelUid = "card-1";
        SimulatedAudioHardware::Device mic{"usb-mic", "USB Audio", {1}, {}, 48000, AudioTransport::kUsb};
        mic.modelUid = headset ? "card-1" : "card-2";
        mic.input = {{440, 0.2f}};
        w.f.hal.addDevice(output);
        w.f.hal.addDevice(mic);
        w.f.hal.setDefaultOutput("out");
        w.f.hal.setDefaultInput("usb-mic");
        RecorderView view(*w.f.session, w.f.settings, [](const QPalette& p) { return p.color(QPalette::Highlight); });

        w.f.start();

        QCOMPARE(w.f.session->outputKind(), AudioOutputKind::Unknown);
        QCOMPARE(w.f.session->echoCancellationActive(), active);
        QCOMPARE(view.echoCaption(), std::optional<QString>(caption));
        w.f.session->discard();
    }

    void theIdlePanelShowsNoTime()
    {
        Window w;
        RecorderView view(*w.f.session, w.f.settings, [](const QPalette& p) { return p.color(QPalette::Highlight); });
        w.f.start();
        w.f.play(3.0);
        w.f.stopAndSend();
        QCOMPARE(w.f.session->state().kind, Kind::Idle);

        QStringList texts;
        for (const QLabel* label : view.findChildren<QLabel*>())
            texts.append(label->text());
        QVERIFY(texts.contains(RecorderView::formatElapsed(0)));
        QVERIFY(!texts.contains(RecorderView::formatElapsed(3)));
    }

    void sourceChoicesKeepTheSelection()
    {
        Window w;
        RecorderView view(*w.f.session, w.f.settings, [](const QPalette& p) { return p.color(QPalette::Highlight); });
        view.refreshApps();
        QCOMPARE(view.sourceChoices(), QList<RecordingSource>{RecordingSource::app("us.zoom.xos", "Zoom")});
        QCOMPARE(view.label(RecordingSource::app("us.zoom.xos", "Zoom")), QStringLiteral("Zoom (playing)"));
        QCOMPARE(view.label(RecordingSource::allAudio()), QStringLiteral("All audio"));

        view.setSource(RecordingSource::app("com.example.gone", "Gone"));  // idle: nothing starts
        QCOMPARE(w.f.session->state().kind, Kind::Idle);
        QCOMPARE(view.sourceChoices(), (QList<RecordingSource>{RecordingSource::app("com.example.gone", "Gone"),
                                                               RecordingSource::app("us.zoom.xos", "Zoom")}));
        QCOMPARE(view.label(RecordingSource::app("com.example.gone", "Gone")), QStringLiteral("Gone"));
        QCOMPARE(view.findChild<QComboBox*>()->currentText(), QStringLiteral("Gone"));
    }

    void levelBars_data()
    {
        QTest::addColumn<float>("peak");
        QTest::addColumn<double>("fraction");
        QTest::addColumn<bool>("loud");
        QTest::newRow("0") << 0.0f << -1.0 << false;
        QTest::newRow("0.001") << 0.001f << 0.0 << false;
        QTest::newRow("0.5") << 0.5f << 0.8997 << false;
        QTest::newRow("0.6") << 0.6f << 0.926 << true;
        QTest::newRow("1.0") << 1.0f << 1.0 << true;
    }
    void levelBars()
    {
        QFETCH(float, peak);
        QFETCH(double, fraction);
        QFETCH(bool, loud);
        QVERIFY(std::abs(LevelMeter::fraction(peak) - fraction) < 0.001);
        QCOMPARE(LevelMeter::isLoud(LevelMeter::fraction(peak)), loud);
    }

    void elapsedTexts_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("65 s") << 65.0 << "01:05";
        QTest::newRow("3725 s") << 3725.0 << "1:02:05";
        QTest::newRow("negative") << -3.0 << "00:00";
        QTest::newRow("59.9 s") << 59.9 << "00:59";
    }
    void elapsedTexts()
    {
        QFETCH(double, seconds);
        QFETCH(QString, text);
        QCOMPARE(RecorderView::formatElapsed(seconds), text);
    }

    void titlesByState_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("title");
        QTest::newRow("idle") << int(Kind::Idle) << "Not recording";
        QTest::newRow("starting") << int(Kind::Starting) << "Starting…";
        QTest::newRow("paused") << int(Kind::Paused) << "Paused";
        QTest::newRow("finishing") << int(Kind::Finishing) << "Finishing…";
        QTest::newRow("failed") << int(Kind::Failed) << "Stopped";
    }
    void titlesByState()
    {
        QFETCH(int, kind);
        QFETCH(QString, title);
        QCOMPARE(RecorderView::stateTitle({Kind(kind), "why"}), title);
    }
};

QTEST_MAIN(TestRecorderWindow)
#include "tst_recorder_window.moc"
