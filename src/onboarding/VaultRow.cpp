#include "onboarding/VaultRow.h"

#include "onboarding/WelcomeStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QRegularExpression>
#include <QVBoxLayout>

namespace harkwell {

VaultRow::VaultRow(VaultCandidate candidate, std::function<void()> onSelect, const QColor& accent, QWidget* parent)
    : QAbstractButton(parent), m_candidate(std::move(candidate)), m_onSelect(std::move(onSelect))
{
    setCursor(Qt::PointingHandCursor);
    setAccessibleName(m_candidate.name);
    connect(this, &QAbstractButton::clicked, this, [this] { m_onSelect(); });

    m_iconName = m_candidate.hasNookwiseMarkers ? QStringLiteral("shippingbox") : QStringLiteral("folder");

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->addWidget(WelcomeStyle::symbol(m_iconName, this));

    auto* lines = new QVBoxLayout;
    lines->setSpacing(2);
    auto* nameLine = new QHBoxLayout;
    nameLine->setSpacing(6);
    auto* name = new QLabel(m_candidate.name, this);
    WelcomeStyle::setMedium(name);
    nameLine->addWidget(name);
    if (m_candidate.source == VaultCandidate::Source::ObsidianRegistry)
        m_badges.append(QStringLiteral("Obsidian"));
    if (m_candidate.hasNookwiseMarkers)
        m_badges.append(QStringLiteral("nookwise"));
    if (m_candidate.hasOutbox)
        m_badges.append(QStringLiteral("_outbox"));
    for (const QString& text : m_badges)
        nameLine->addWidget(badge(text, accent));
    nameLine->addStretch();
    lines->addLayout(nameLine);

    auto* path = new QLabel(this);
    WelcomeStyle::setCaption(path);
    path->setText(path->fontMetrics().elidedText(m_candidate.path, Qt::ElideMiddle, 380));
    path->setToolTip(m_candidate.path);
    lines->addWidget(path);

    if (m_candidate.lastOpened) {
        m_lastOpened = new QLabel(QStringLiteral("Last opened ") + abbreviatedDate(m_candidate.lastOpened->toLocalTime().date()),
                                  this);
        WelcomeStyle::setCaption(m_lastOpened, WelcomeStyle::Tone::Tertiary);
        lines->addWidget(m_lastOpened);
    }
    layout->addLayout(lines, 1);
    layout->addWidget(WelcomeStyle::chevron(this));
}

QString VaultRow::abbreviatedDate(const QDate& date, const QLocale& locale)
{
    // The locale's long form without the weekday and with the month's short name: "Feb 3, 2026",
    // "3. Feb. 2026"; the short form's "2/3/26" reads as a code, not a date.
    QString format = locale.dateFormat(QLocale::LongFormat);
    static const QRegularExpression weekday(QStringLiteral("d{4}[,.]?\\s*|\\s*[,.]?\\s*d{4}"));
    format.remove(weekday);
    format.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    return locale.toString(date, format.trimmed());
}

QString VaultRow::lastOpenedText() const { return m_lastOpened ? m_lastOpened->text() : QString(); }

QSize VaultRow::sizeHint() const { return layout() ? layout()->sizeHint() : QAbstractButton::sizeHint(); }

void VaultRow::paintEvent(QPaintEvent*) { WelcomeStyle::paintCard(this, isDown() || underMouse()); }

QLabel* VaultRow::badge(const QString& text, const QColor& accent)
{
    auto* label = new QLabel(text, this);
    WelcomeStyle::setCaption(label);
    label->setStyleSheet(QStringLiteral("QLabel { background: rgba(%1, %2, %3, 0.15); border-radius: 3px; padding: 1px 6px; }")
                             .arg(accent.red())
                             .arg(accent.green())
                             .arg(accent.blue()));
    return label;
}

}  // namespace harkwell
