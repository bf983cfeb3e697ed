#include "recording/RecorderView.h"

#include "foundation/Contrast.h"
#include "foundation/HotkeyNames.h"
#include "foundation/Settings.h"
#include "recording/LevelMeter.h"
#include "recording/RecorderUI.h"
#include "recording/RecordingSession.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>
#include <limits>

namespace harkwell {

namespace {

const QColor kOrange(255, 149, 0);

bool isSpeakers(AudioOutputKind kind)
{
    return kind == AudioOutputKind::BuiltInSpeakers || kind == AudioOutputKind::ExternalSpeakers;
}

QLabel* captionLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// Orange for warnings, quiet grey otherwise; either made dark or light enough to read on the panel.
void tint(QLabel* label, bool warning)
{
    QPalette palette = label->parentWidget()->palette();
    const QColor background = palette.color(QPalette::Window);
    palette.setColor(QPalette::WindowText, warning ? Contrast::readable(kOrange, background)
                                                   : Contrast::secondaryText(palette));
    label->setPalette(palette);
}

}  // namespace

RecorderView::RecorderView(RecordingSession& session, Settings& settings, std::function<QColor(const QPalette&)> accent,
                           QWidget* parent)
    : QWidget(parent)
    , m_session(session)
    , m_settings(settings)
{
    const AppSettings values = settings.settings();
    m_source = values.recordingSource.value_or(RecordingSource::allAudio());
    m_microphone = values.recordingIncludeMicrophone.value_or(true);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(10);

    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    m_dot = new QLabel(this);
    m_dot->setFixedSize(10, 10);
    m_title = new QLabel(this);
    QFont headline = m_title->font();
    headline.setBold(true);
    m_title->setFont(headline);
    m_elapsed = new QLabel(this);
    QFont clockFont = m_elapsed->font();
    clockFont.setPointSizeF(clockFont.pointSizeF() * 1.4);
    clockFont.setStyleHint(QFont::Monospace);
    clockFont.setFamily(QStringLiteral("monospace"));
    m_elapsed->setFont(clockFont);
    header->addWidget(m_dot);
    header->addWidget(m_title);
    header->addStretch();
    header->addWidget(m_elapsed);
    column->addLayout(header);

    auto* sourceRow = new QHBoxLayout;
    m_sourcePicker = new QComboBox(this);
    m_sourcePicker->setAccessibleName(QStringLiteral("Source"));
    m_refreshButton = new QToolButton(this);
    m_refreshButton->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    m_refreshButton->setAutoRaise(true);
    m_refreshButton->setToolTip(QStringLiteral("Refresh the list of apps playing audio"));
    sourceRow->addWidget(m_sourcePicker, 1);
    sourceRow->addWidget(m_refreshButton);
    column->addLayout(sourceRow);

    m_microphoneToggle = new QCheckBox(QStringLiteral("Microphone"), this);
    column->addWidget(m_microphoneToggle);
    m_echoCaption = captionLabel(this);
    column->addWidget(m_echoCaption);
    m_you = new LevelMeter(QStringLiteral("You"), accent, this);
    m_others = new LevelMeter(QStringLiteral("Others"), accent, this);
    column->addWidget(m_you);
    column->addWidget(m_others);
    m_warning = captionLabel(this);
    column->addWidget(m_warning);

    auto* buttons = new QHBoxLayout;
    m_first = new QPushButton(this);
    m_discard = new QPushButton(QStringLiteral("Discard…"), this);
    // Doubled, or the "&" would mark a mnemonic instead of showing.
    m_stop = new QPushButton(QStringLiteral("Stop && send"), this);
    buttons->addWidget(m_first);
    buttons->addStretch();
    buttons->addWidget(m_discard);
    buttons->addWidget(m_stop);
    column->addLayout(buttons);
    setFixedWidth(300);

    connect(m_sourcePicker, &QComboBox::activated, this, [this](int index) {
        const QList<RecordingSource> choices = QList<RecordingSource>{RecordingSource::allAudio()} + sourceChoices();
        if (index >= 0 && index < choices.size())
            setSource(choices[index]);
    });
    connect(m_refreshButton, &QToolButton::clicked, this, &RecorderView::refreshApps);
    connect(m_microphoneToggle, &QCheckBox::toggled, this, &RecorderView::setMicrophone);
    connect(m_first, &QPushButton::clicked, this, [this] {
        switch (m_session.state().kind) {
        case RecordingState::Kind::Recording:
            m_session.pause();
            break;
        case RecordingState::Kind::Paused:
            m_session.resume();
            break;
        default:
            record();
        }
    });
    connect(m_discard, &QPushButton::clicked, this, &RecorderView::confirmDiscard);
    connect(m_stop, &QPushButton::clicked, this, [this] { m_session.stopAndSend(); });

    connect(&m_session, &RecordingSession::changed, this, &RecorderView::refresh);
    connect(&m_session, &RecordingSession::stateChanged, this, &RecorderView::syncFromSession);
    connect(&m_session.meters(), &RecordingMeters::levelsChanged, this, [this](const RecordingLevels& levels) {
        m_you->setPeak(levels.micPeak);
        m_others->setPeak(levels.systemPeak);
    });
    connect(&m_session.elapsedClock(), &RecordingClock::elapsedChanged, this,
            [this](double seconds) { m_elapsed->setText(formatElapsed(seconds)); });
    refresh();
}

QString RecorderView::stateTitle(const RecordingState& state)
{
    switch (state.kind) {
    case RecordingState::Kind::Idle:
        return QStringLiteral("Not recording");
    case RecordingState::Kind::Starting:
        return QStringLiteral("Starting…");
    case RecordingState::Kind::Recording:
        return QStringLiteral("Recording");
    case RecordingState::Kind::Paused:
        return QStringLiteral("Paused");
    case RecordingState::Kind::Finishing:
        return QStringLiteral("Finishing…");
    case RecordingState::Kind::Failed:
        break;
    }
    return QStringLiteral("Stopped");
}

QString RecorderView::formatElapsed(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0)
        seconds = 0;
    seconds = std::min(seconds, double(std::numeric_limits<qint64>::max() / 2));
    const qint64 s = qint64(std::trunc(seconds));
    if (s >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(s / 3600)
            .arg((s % 3600) / 60, 2, 10, QLatin1Char('0'))
            .arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(s / 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QList<RecordingSource> RecorderView::sourceChoices() const
{
    QList<RecordingSource> choices;
    for (const AudioApp& app : m_apps)
        choices.append(RecordingSource::app(app.bundleId, app.name));
    if (m_source.isApp() && !choices.contains(m_source))
        choices.prepend(m_source);
    return choices;
}

QString RecorderView::label(const RecordingSource& source) const
{
    if (!source.isApp())
        return QStringLiteral("All audio");
    for (const AudioApp& app : m_apps)
        if (app.bundleId == source.bundleId)
            return app.isPlaying ? source.name + QStringLiteral(" (playing)") : source.name;
    return source.name;
}

std::optional<QString> RecorderView::echoCaption() const
{
    if (!m_session.isActive() || !m_session.options().includeMicrophone)
        return std::nullopt;
    // An output that cannot tell its kind is taken as speakers unless it is the microphone's
    // headset; the caption says which way that went.
    const bool untold = m_session.outputKind() == AudioOutputKind::Unknown;
    if (m_session.echoCancellationActive()) {
        if (isSpeakers(m_session.outputKind()))
            return QStringLiteral("Echo cancellation on (speakers)");
        if (untold && !m_session.outputIsHeadset())
            return QStringLiteral("Echo cancellation on (output taken as speakers)");
        return QStringLiteral("Echo cancellation on");
    }
    if (m_session.outputKind() == AudioOutputKind::Headphones)
        return QStringLiteral("Headphones: no echo");
    if (untold && m_session.outputIsHeadset())
        return QStringLiteral("Headset: no echo");
    const QList<RecordingWarning>& warnings = m_session.warnings();
    for (qsizetype i = 0; i < warnings.size(); ++i)
        if (warnings[i].kind == RecordingWarning::Kind::SpeakerEcho)
            return i == 0 ? std::nullopt : std::optional(warnings[i].text);
    return std::nullopt;
}

std::optional<QString> RecorderView::warningLine() const
{
    if (!m_session.warnings().isEmpty())
        return m_session.warnings().first().text;
    return m_session.warning();
}

void RecorderView::setSource(const RecordingSource& source)
{
    if (source == m_source)
        return;
    m_source = source;
    fillSourcePicker();
    applyChange();
}

void RecorderView::setMicrophone(bool on)
{
    if (on == m_microphone)
        return;
    m_microphone = on;
    refresh();
    applyChange();
}

void RecorderView::refreshApps()
{
    m_apps = m_session.audioApps();
    m_appsLoaded = true;
    fillSourcePicker();
}

void RecorderView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    refreshApps();
    syncFromSession();
    fitWindow();
}

void RecorderView::syncFromSession()
{
    if (!m_session.isActive())
        return;
    if (m_source != m_session.options().source) {
        m_source = m_session.options().source;
        fillSourcePicker();
    }
    if (m_microphone != m_session.options().includeMicrophone) {
        m_microphone = m_session.options().includeMicrophone;
        refresh();
    }
}

void RecorderView::applyChange()
{
    if (!m_session.isActive())
        return;
    const RecordingOptions wanted{m_source, m_microphone, m_session.options().microphoneUid};
    if (wanted == m_session.options())
        return;
    [](RecorderView* view, RecordingOptions options) -> QCoro::Task<> {
        const QPointer<RecorderView> guard(view);
        auto changing = view->m_session.change(options);
        co_await changing;
        if (guard)
            guard->syncFromSession();
    }(this, wanted);
}

void RecorderView::record()
{
    const RecordingOptions options{m_source, m_microphone, m_settings.settings().recordingMicrophoneUid};
    m_session.start(options);
}

void RecorderView::confirmDiscard()
{
    const QString detail = QStringLiteral("The ") + formatElapsed(m_session.elapsedClock().elapsed())
                           + QStringLiteral(" recorded so far is deleted and not sent. This cannot be undone.");
    const QPointer<RecordingSession> session(&m_session);
    RecorderUI::confirmDiscard(window(), QStringLiteral("Discard this recording?"), detail, [session] {
        if (session)
            session->discard();
    });
}

void RecorderView::fillSourcePicker()
{
    const QSignalBlocker blocking(m_sourcePicker);
    m_sourcePicker->clear();
    m_sourcePicker->addItem(label(RecordingSource::allAudio()));
    const QList<RecordingSource> choices = sourceChoices();
    int current = 0;
    for (qsizetype i = 0; i < choices.size(); ++i) {
        m_sourcePicker->addItem(label(choices[i]));
        if (choices[i] == m_source)
            current = int(i) + 1;
    }
    m_sourcePicker->setCurrentIndex(current);
}

void RecorderView::refresh()
{
    const RecordingState& state = m_session.state();
    const bool busy = state.kind == RecordingState::Kind::Starting || state.kind == RecordingState::Kind::Finishing;
    const bool active = m_session.isActive();

    m_dot->setStyleSheet(state.kind == RecordingState::Kind::Recording
                             ? QStringLiteral("background: rgb(255, 59, 48); border-radius: 5px;")
                             : QStringLiteral("background: gray; border-radius: 5px;"));
    m_title->setText(stateTitle(state));
    // Idle, the clock still holds the last take's time; the panel waits for the next one.
    m_elapsed->setText(formatElapsed(state.kind == RecordingState::Kind::Idle ? 0 : m_session.elapsedClock().elapsed()));
    m_sourcePicker->setEnabled(!busy);
    if (!m_appsLoaded && m_sourcePicker->count() == 0)
        fillSourcePicker();
    {
        const QSignalBlocker blocking(m_microphoneToggle);
        m_microphoneToggle->setChecked(m_microphone);
    }
    m_microphoneToggle->setEnabled(!busy);

    const auto caption = echoCaption();
    m_echoCaption->setVisible(caption.has_value());
    m_echoCaption->setText(caption.value_or(QString()));
    if (caption)
        tint(m_echoCaption,
             !m_session.echoCancellationActive() && m_session.outputKind() != AudioOutputKind::Headphones);
    tint(m_warning, true);
    m_you->setVisible(active && m_session.options().includeMicrophone);
    m_others->setVisible(active);
    const auto warning = warningLine();
    m_warning->setVisible(warning.has_value());
    m_warning->setText(warning.value_or(QString()));

    switch (state.kind) {
    case RecordingState::Kind::Idle:
    case RecordingState::Kind::Failed: {
        m_first->setVisible(true);
        m_first->setText(QStringLiteral("Record"));
        const bool quickKey = m_settings.settings().recordingQuickKey.value_or(true);
        m_first->setToolTip(quickKey ? QStringLiteral("Start from anywhere with %1").arg(HotkeyNames::shared().record()) : QString());
        break;
    }
    case RecordingState::Kind::Recording:
        m_first->setVisible(true);
        m_first->setText(QStringLiteral("Pause"));
        m_first->setToolTip(QString());
        break;
    case RecordingState::Kind::Paused:
        m_first->setVisible(true);
        m_first->setText(QStringLiteral("Resume"));
        m_first->setToolTip(QString());
        break;
    case RecordingState::Kind::Starting:
    case RecordingState::Kind::Finishing:
        m_first->setVisible(false);
        break;
    }
    m_discard->setVisible(active);
    m_stop->setVisible(active);
    fitWindow();
}

QPushButton* RecorderView::defaultButton() const
{
    switch (m_session.state().kind) {
    case RecordingState::Kind::Idle:
    case RecordingState::Kind::Failed:
        return m_first;
    case RecordingState::Kind::Recording:
    case RecordingState::Kind::Paused:
        return m_stop;
    case RecordingState::Kind::Starting:
    case RecordingState::Kind::Finishing:
        break;
    }
    return nullptr;
}

void RecorderView::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier) {
        if (QPushButton* button = defaultButton(); button && button->isVisible() && button->isEnabled()) {
            button->click();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

void RecorderView::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && !m_tinting) {
        m_tinting = true;  // tinting sets the captions' palettes, which would call here again
        refresh();
        m_tinting = false;
    }
}

void RecorderView::fitWindow()
{
    // The window takes the height its content needs now, so a long warning shows in full and the
    // window shrinks again once it is gone; the width stays the panel's.
    QWidget* window = this->window();
    if (window == this || !layout())
        return;
    layout()->activate();
    if (QLayout* outer = window->layout())
        outer->activate();
    const int height = window->layout() && window->layout()->hasHeightForWidth()
                           ? window->layout()->totalHeightForWidth(window->width())
                           : window->sizeHint().height();
    if (height > 0 && height != window->height())
        window->resize(window->width(), height);
}

}  // namespace harkwell
