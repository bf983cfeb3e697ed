#pragma once
// A number in a text field, shown and read in the user's locale (grouping separators included).
// Text that does not read as a number, or reads as one outside the field's range, leaves the value
// as it was.

#include <QLineEdit>

#include <limits>

namespace harkwell {

class NumberField final : public QLineEdit {
    Q_OBJECT
public:
    enum class Kind { Integer, Decimal };

    NumberField(Kind kind, int width, QWidget* parent = nullptr);

    void setValue(double value);
    // The numbers the field takes, both ends included; unbounded until set.
    void setRange(double lowest, double highest);
    double value() const { return m_value; }
    // The text as the locale writes `value`.
    static QString format(Kind kind, double value);

signals:
    // Each time the typed text reads as a new number.
    void valueEdited(double value);

private:
    void onTextEdited(const QString& text);

    Kind m_kind;
    double m_value = 0;
    double m_lowest = -std::numeric_limits<double>::infinity();
    double m_highest = std::numeric_limits<double>::infinity();
};

}  // namespace harkwell
