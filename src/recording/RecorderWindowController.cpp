#include "recording/RecorderWindowController.h"

#include "foundation/HarkwellLog.h"
#include "foundation/Settings.h"
#include "platform/defaults/Defaults.h"
#include "recording/RecorderView.h"
#include "recording/RecordingSession.h"
#include "vault/HotkeyManager.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

namespace harkwell {

namespace {

// Hides on close instead of going away, and reports where the user leaves it.
class RecorderPanel final : public QWidget {
public:
    explicit RecorderPanel(std::function<void()> moved) : m_moved(std::move(moved))
    {
        setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
        setAttribute(Qt::WA_DeleteOnClose, false);
        setAttribute(Qt::WA_ShowWithoutActivating, true);
        setWindowTitle(QString::fromLatin1(RecorderWindowController::kTitle));
    }

    void setMoved(std::function<void()> moved) { m_moved = std::move(moved); }

protected:
    void moveEvent(QMoveEvent* event) override
    {
        QWidget::moveEvent(event);
        if (isVisible())
            m_moved();
    }
    void hideEvent(QHideEvent* event) override
    {
        m_moved();
        QWidget::hideEvent(event);
    }

private:
    std::function<void()> m_moved;
};

QColor defaultAccent(const QPalette& palette) { return palette.color(QPalette::Highlight); }

bool isBusy(const RecordingState& state)
{
    using Kind = RecordingState::Kind;
    return state.kind == Kind::Starting || state.kind == Kind::Recording || state.kind == Kind::Paused
           || state.kind == Kind::Finishing;
}

}  // namespace

RecorderWindowController::RecorderWindowController(RecordingSession& session, Settings& settings, QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_settings(settings)
    , m_accent(defaultAccent)
{
}

RecorderWindowController::~RecorderWindowController() { delete m_panel.data(); }

RecorderWindowController& RecorderWindowController::shared()
{
    static auto* controller = new RecorderWindowController(RecordingSession::shared(), Settings::shared(), qApp);
    return *controller;
}

void RecorderWindowController::install()
{
    if (m_installed)
        return;
    m_installed = true;
    // Delivered on a later turn of the loop, never inside the change itself.
    connect(&m_session, &RecordingSession::stateChanged, this, &RecorderWindowController::follow, Qt::QueuedConnection);
    QMetaObject::invokeMethod(this, [this] { follow(m_session.state()); }, Qt::QueuedConnection);
}

void RecorderWindowController::follow(const RecordingState& state)
{
    if (state.kind == RecordingState::Kind::Idle) {
        if (m_panel)
            m_panel->hide();
    } else if (state.kind == RecordingState::Kind::Starting && !isBusy(m_lastState)) {
        if (m_settings.settings().recordingShowWindow.value_or(true))
            bringForward();
    }
    m_lastState = state;
}

void RecorderWindowController::applyQuickKey() { shared().applyQuickKey(HotkeyManager::shared()); }

void RecorderWindowController::applyQuickKey(HotkeyManager& hotkeys)
{
    const QPointer<RecorderWindowController> self(this);
    hotkeys.onRecord = [self] {
        QMetaObject::invokeMethod(
            qApp,
            [self] {
                if (self)
                    self->quickRecord();
            },
            Qt::QueuedConnection);
    };
    hotkeys.setRecordHotkey(m_settings.settings().recordingQuickKey.value_or(true));
}

void RecorderWindowController::quickRecord()
{
    if (isBusy(m_session.state())) {
        bringForward();
        return;
    }
    HarkwellLog::log(QStringLiteral("[harkwell] recorder: start from the quick-record key"));
    QMetaObject::invokeMethod(
        this,
        [this] {
            const AppSettings settings = m_settings.settings();
            const RecordingOptions options{settings.recordingSource.value_or(RecordingSource::allAudio()),
                                           settings.recordingIncludeMicrophone.value_or(true),
                                           settings.recordingMicrophoneUid};
            m_session.start(options);
        },
        Qt::QueuedConnection);
}

QWidget* RecorderWindowController::makePanel()
{
    auto* panel = new RecorderPanel([this] {});
    panel->setMoved([this, panel] { saveFrame(*panel); });
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new RecorderView(m_session, m_settings, m_accent, panel));
    panel->resize(300, 150);
    restoreFrame(*panel);
    return panel;
}

void RecorderWindowController::bringForward()
{
    if (!m_panel)
        m_panel = makePanel();
    m_panel->show();
    m_panel->raise();
}

void RecorderWindowController::saveFrame(const QWidget& panel)
{
    // Where the window stands; its size always follows what it shows, so keeping it would only let
    // a past warning's height come back.
    Defaults::standard().setValue(QString::fromLatin1(kFrameKey), QStringLiteral("%1 %2").arg(panel.x()).arg(panel.y()));
}

void RecorderWindowController::restoreFrame(QWidget& panel)
{
    const auto saved = Defaults::standard().stringValue(QString::fromLatin1(kFrameKey));
    if (saved) {
        const QStringList parts = saved->split(QLatin1Char(' '), Qt::SkipEmptyParts);
        // Older saves add the size after the position; only the position is taken.
        bool ok = parts.size() == 2 || parts.size() == 4;
        QList<int> numbers;
        for (const QString& part : parts) {
            numbers.append(part.toInt(&ok));
            if (!ok)
                break;
        }
        if (ok && numbers.size() >= 2) {
            panel.move(numbers[0], numbers[1]);
            return;
        }
    }
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect visible = screen->availableGeometry();
        panel.move(visible.right() + 1 - 320, visible.top() + 20);
    }
}

}  // namespace harkwell
