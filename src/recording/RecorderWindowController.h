#pragma once
// Owns the floating recorder panel: raises it once when a recording starts, hides it when the
// recorder returns to idle, keeps its frame across launches, and carries out the quick-record key.
// Main thread only.

#include "foundation/RecordingTypes.h"

#include <QColor>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class QWidget;

namespace harkwell {

class HotkeyManager;
class RecordingSession;
class Settings;

class RecorderWindowController final : public QObject {
    Q_OBJECT
public:
    static constexpr char kTitle[] = "harkwell Recorder";
    static constexpr char kFrameKey[] = "NSWindow Frame HarkwellRecorder";

    RecorderWindowController(RecordingSession& session, Settings& settings, QObject* parent = nullptr);
    ~RecorderWindowController() override;

    // Over the shared recorder and settings.
    static RecorderWindowController& shared();

    // Follows the recorder's state from now on; a second call does nothing.
    void install();
    // Sets the quick-record key's action and registers or drops the key by the setting; called at
    // launch and after every save of the settings window.
    static void applyQuickKey();
    void applyQuickKey(HotkeyManager& hotkeys);
    void quickRecord();

    // The level bars' colour below their orange zone (the application's accent); before the panel is made.
    void setAccent(std::function<QColor(const QPalette&)> accent) { m_accent = std::move(accent); }

    // The panel, made on first need and kept; the menu and notification clicks use these too.
    QWidget* panel() const { return m_panel; }
    QWidget* makePanel();
    void bringForward();

private:
    void follow(const RecordingState& state);
    void saveFrame(const QWidget& panel);
    void restoreFrame(QWidget& panel);

    RecordingSession& m_session;
    Settings& m_settings;
    std::function<QColor(const QPalette&)> m_accent;
    QPointer<QWidget> m_panel;
    bool m_installed = false;
    RecordingState m_lastState;
};

}  // namespace harkwell
