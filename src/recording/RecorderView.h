#pragma once
// The recorder panel's content over one RecordingSession: state and time, the source and
// microphone choices (for the next recording, or applied to the running one), level bars, the
// echo caption and the current warning, and Record, Pause or Resume, "Discard…" and "Stop & send".

#include "foundation/RecordingTypes.h"

#include <QWidget>

#include <functional>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QToolButton;

namespace harkwell {

class LevelMeter;
class RecordingSession;
class Settings;

class RecorderView final : public QWidget {
    Q_OBJECT
public:
    RecorderView(RecordingSession& session, Settings& settings, std::function<QColor(const QPalette&)> accent,
                 QWidget* parent = nullptr);

    // "Not recording", "Starting…", "Recording", "Paused", "Finishing…" or "Stopped".
    static QString stateTitle(const RecordingState& state);
    // mm:ss below an hour, h:mm:ss from there; negative and fractional seconds are cut away.
    static QString formatElapsed(double seconds);
    QString label(const RecordingSource& source) const;
    QList<RecordingSource> sourceChoices() const;
    // The caption below the microphone toggle; none when it has nothing to say.
    std::optional<QString> echoCaption() const;
    std::optional<QString> warningLine() const;

    const RecordingSource& source() const { return m_source; }
    bool microphone() const { return m_microphone; }
    void setSource(const RecordingSource& source);
    void setMicrophone(bool on);
    void refreshApps();

protected:
    void showEvent(QShowEvent* event) override;
    // Return and Enter press the button the state calls for: the panel is no dialog, so no button
    // is a default by itself.
    void keyPressEvent(QKeyEvent* event) override;
    // The captions' colours are worked out against the panel's palette.
    void changeEvent(QEvent* event) override;

public:
    // The button that Return presses in the current state, if any.
    QPushButton* defaultButton() const;

protected:

private:
    void syncFromSession();
    void applyChange();
    void refresh();
    void fillSourcePicker();
    void fitWindow();
    bool m_tinting = false;
    void record();
    void confirmDiscard();

    RecordingSession& m_session;
    Settings& m_settings;
    RecordingSource m_source;
    bool m_microphone = true;
    QList<AudioApp> m_apps;
    bool m_appsLoaded = false;

    QLabel* m_dot;
    QLabel* m_title;
    QLabel* m_elapsed;
    QComboBox* m_sourcePicker;
    QToolButton* m_refreshButton;
    QCheckBox* m_microphoneToggle;
    QLabel* m_echoCaption;
    LevelMeter* m_you;
    LevelMeter* m_others;
    QLabel* m_warning;
    QPushButton* m_first;
    QPushButton* m_discard;
    QPushButton* m_stop;
};

}  // namespace harkwell
