#include "onboarding/ActionCard.h"

#include "onboarding/WelcomeStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace harkwell {

ActionCard::ActionCard(const QString& title, const QString& subtitle, const QString& systemIcon, QWidget* parent)
    : QAbstractButton(parent), m_subtitle(subtitle)
{
    setText(title);
    setAccessibleName(title);
    setCursor(Qt::PointingHandCursor);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->addWidget(WelcomeStyle::symbol(systemIcon, this));
    auto* lines = new QVBoxLayout;
    lines->setSpacing(2);
    auto* titleLabel = new QLabel(title, this);
    WelcomeStyle::setMedium(titleLabel);
    auto* subtitleLabel = new QLabel(subtitle, this);
    subtitleLabel->setWordWrap(true);
    WelcomeStyle::setCaption(subtitleLabel);
    lines->addWidget(titleLabel);
    lines->addWidget(subtitleLabel);
    layout->addLayout(lines, 1);
    layout->addWidget(WelcomeStyle::chevron(this));
}

QSize ActionCard::sizeHint() const { return layout() ? layout()->sizeHint() : QAbstractButton::sizeHint(); }

void ActionCard::paintEvent(QPaintEvent*) { WelcomeStyle::paintCard(this, isDown() || underMouse()); }

}  // namespace harkwell
