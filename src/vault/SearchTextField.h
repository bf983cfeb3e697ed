#pragma once
// The search panel's text field: one line whose keys become the panel's commands while the caret
// stands in it. Up and Down always; Right only with the caret (or the selection's start) at the
// end of the text and Left only at its start, so the caret still moves inside the text; Return
// and Escape; and Ctrl-M, -P, -S, -F and -D with any further modifiers, consumed even when no
// callback is set. Every other key edits the text as usual.

#include <QLineEdit>

#include <functional>

namespace harkwell {

class SearchTextField final : public QLineEdit {
    Q_OBJECT
public:
    struct Callbacks {
        std::function<void()> onArrowUp;
        std::function<void()> onArrowDown;
        std::function<void()> onArrowRight;
        std::function<void()> onArrowLeft;
        std::function<void()> onReturn;
        std::function<void()> onCmdM;
        std::function<void()> onCmdP;
        std::function<void()> onCmdS;
        std::function<void()> onCmdF;
        std::function<void()> onCmdD;
        std::function<void()> onEscape;
    };

    explicit SearchTextField(Callbacks callbacks, QWidget* parent = nullptr);

    // Leaves the caret and the selection alone when the text is already `text`.
    void syncText(const QString& text);

signals:
    // Every edit by the user.
    void edited(const QString& text);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // The callback of a Ctrl-letter command, or null when the key is not one.
    const std::function<void()>* commandFor(const QKeyEvent* event) const;
    qsizetype selectionStartOrCaret() const;

    Callbacks m_callbacks;
};

}  // namespace harkwell
