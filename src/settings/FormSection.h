#pragma once
// One section of a settings tab in the grouped style: a header, rows of controls (labelled or on
// their own), and a footer of help text in the caption font and the secondary colour.

#include <QColor>
#include <QString>
#include <QWidget>

class QFormLayout;
class QLabel;
class QPushButton;

namespace harkwell {

class FormSection final : public QWidget {
    Q_OBJECT
public:
    explicit FormSection(const QString& header, QWidget* parent = nullptr);

    void addRow(const QString& label, QWidget* field);
    void addRow(QWidget* wide);
    void setFooter(const QString& text);

    // How a status text is drawn: quiet, a problem the user can fix, or a failure.
    enum class Tone { Normal, Secondary, Warning, Error };
    static void setTone(QLabel* label, Tone tone);
    static QColor warningColour();
    static QColor errorColour();
    // A wrapping caption in the small font and the secondary colour.
    static QLabel* caption(const QString& text, QWidget* parent = nullptr);
    // A borderless button drawn as a link (the link colour, underlined, a hand over it), so that it
    // reads as something to press rather than as text.
    static QPushButton* linkButton(const QString& text, QWidget* parent = nullptr);
    // A horizontal row of widgets; a nullptr stands for flexible space.
    static QWidget* row(std::initializer_list<QWidget*> widgets, QWidget* parent = nullptr, int spacing = 8);

private:
    QFormLayout* m_form;
    QLabel* m_footer;
};

}  // namespace harkwell
