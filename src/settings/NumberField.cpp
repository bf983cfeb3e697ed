#include "settings/NumberField.h"

#include <QLocale>

#include <cmath>
#include <limits>

namespace harkwell {

NumberField::NumberField(Kind kind, int width, QWidget* parent) : QLineEdit(parent), m_kind(kind)
{
    setFixedWidth(width);
    connect(this, &QLineEdit::textEdited, this, &NumberField::onTextEdited);
    // Once the user leaves the field it shows the value it holds, the way the locale writes it.
    connect(this, &QLineEdit::editingFinished, this, [this] { setText(format(m_kind, m_value)); });
}

QString NumberField::format(Kind kind, double value)
{
    const QLocale locale;
    if (kind == Kind::Integer)
        return locale.toString(static_cast<qlonglong>(value));
    return locale.toString(value, 'f', QLocale::FloatingPointShortest);
}

void NumberField::setValue(double value)
{
    m_value = value;
    setText(format(m_kind, value));
}

void NumberField::setRange(double lowest, double highest)
{
    m_lowest = lowest;
    m_highest = highest;
}

void NumberField::onTextEdited(const QString& text)
{
    const QLocale locale;
    bool ok = false;
    double parsed = 0;
    if (m_kind == Kind::Integer) {
        const int integer = locale.toInt(text.trimmed(), &ok);
        parsed = integer;
    } else {
        parsed = locale.toDouble(text.trimmed(), &ok);
        ok = ok && std::isfinite(parsed);
    }
    if (!ok || parsed < m_lowest || parsed > m_highest || parsed == m_value)
        return;
    m_value = parsed;
    emit valueEdited(parsed);
}

}  // namespace harkwell
