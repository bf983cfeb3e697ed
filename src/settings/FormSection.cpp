#include "settings/FormSection.h"

#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace harkwell {

FormSection::FormSection(const QString& header, QWidget* parent) : QWidget(parent)
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 8);
    outer->setSpacing(4);
    if (!header.isEmpty()) {
        auto* title = new QLabel(header, this);
        QFont font = title->font();
        font.setBold(true);
        title->setFont(font);
        outer->addWidget(title);
    }
    auto* box = new QFrame(this);
    box->setFrameShape(QFrame::StyledPanel);
    m_form = new QFormLayout(box);
    m_form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    // On a narrow window a field too wide for the space beside its label goes below the label.
    m_form->setRowWrapPolicy(QFormLayout::WrapLongRows);
    m_form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    outer->addWidget(box);
    m_footer = caption(QString(), this);
    m_footer->hide();
    outer->addWidget(m_footer);
}

void FormSection::addRow(const QString& label, QWidget* field) { m_form->addRow(label, field); }

void FormSection::addRow(QWidget* wide) { m_form->addRow(wide); }

void FormSection::setFooter(const QString& text)
{
    m_footer->setText(text);
    m_footer->setVisible(!text.isEmpty());
}

QColor FormSection::warningColour() { return QColor(0xFF, 0x95, 0x00); }

QColor FormSection::errorColour() { return QColor(0xFF, 0x3B, 0x30); }

void FormSection::setTone(QLabel* label, Tone tone)
{
    QPalette palette = label->parentWidget() ? label->parentWidget()->palette() : label->palette();
    switch (tone) {
    case Tone::Normal:
        break;
    case Tone::Secondary:
        palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
        break;
    case Tone::Warning:
        palette.setColor(QPalette::WindowText, warningColour());
        break;
    case Tone::Error:
        palette.setColor(QPalette::WindowText, errorColour());
        break;
    }
    label->setPalette(palette);
}

QLabel* FormSection::caption(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    setTone(label, Tone::Secondary);
    return label;
}

QPushButton* FormSection::linkButton(const QString& text, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setFlat(true);
    button->setAutoDefault(false);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral(
        "QPushButton { color: palette(link); text-align: left; border: none; padding: 0; text-decoration: underline; }"));
    return button;
}

QWidget* FormSection::row(std::initializer_list<QWidget*> widgets, QWidget* parent, int spacing)
{
    auto* holder = new QWidget(parent);
    auto* layout = new QHBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    for (QWidget* widget : widgets) {
        if (widget)
            layout->addWidget(widget);
        else
            layout->addStretch(1);
    }
    return holder;
}

}  // namespace harkwell
