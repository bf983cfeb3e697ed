#include "vault/SearchTextField.h"

#include <QKeyEvent>

namespace harkwell {

namespace {

void run(const std::function<void()>& callback)
{
    if (callback)
        callback();
}

}  // namespace

SearchTextField::SearchTextField(Callbacks callbacks, QWidget* parent)
    : QLineEdit(parent), m_callbacks(std::move(callbacks))
{
    setPlaceholderText(QStringLiteral("Search files, folders\u2026"));
    setFrame(false);
    setAttribute(Qt::WA_MacShowFocusRect, false);
    setStyleSheet(QStringLiteral("QLineEdit { background: transparent; }"));
    QFont large = font();
    large.setPointSize(18);
    setFont(large);
    connect(this, &QLineEdit::textEdited, this, &SearchTextField::edited);
}

void SearchTextField::syncText(const QString& text)
{
    if (this->text() != text)
        setText(text);
}

const std::function<void()>* SearchTextField::commandFor(const QKeyEvent* event) const
{
    if (!(event->modifiers() & Qt::ControlModifier))
        return nullptr;
    switch (event->key()) {
    case Qt::Key_M:
        return &m_callbacks.onCmdM;
    case Qt::Key_P:
        return &m_callbacks.onCmdP;
    case Qt::Key_S:
        return &m_callbacks.onCmdS;
    case Qt::Key_F:
        return &m_callbacks.onCmdF;
    case Qt::Key_D:
        return &m_callbacks.onCmdD;
    default:
        return nullptr;
    }
}

bool SearchTextField::event(QEvent* event)
{
    // Claims the commands before any shortcut of the window can take them.
    if (event->type() == QEvent::ShortcutOverride && commandFor(static_cast<QKeyEvent*>(event))) {
        event->accept();
        return true;
    }
    return QLineEdit::event(event);
}

qsizetype SearchTextField::selectionStartOrCaret() const
{
    return hasSelectedText() ? selectionStart() : cursorPosition();
}

void SearchTextField::keyPressEvent(QKeyEvent* event)
{
    if (const auto* command = commandFor(event)) {
        run(*command);
        event->accept();
        return;
    }
    // With Shift or Ctrl an arrow selects or moves by word, as in any text field.
    const bool modified = event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    const bool arrow = event->key() == Qt::Key_Up || event->key() == Qt::Key_Down || event->key() == Qt::Key_Left
                       || event->key() == Qt::Key_Right;
    if (modified && arrow) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Up:
        run(m_callbacks.onArrowUp);
        return;
    case Qt::Key_Down:
        run(m_callbacks.onArrowDown);
        return;
    case Qt::Key_Right:
        if (selectionStartOrCaret() == text().size()) {
            run(m_callbacks.onArrowRight);
            return;
        }
        break;
    case Qt::Key_Left:
        if (selectionStartOrCaret() == 0) {
            run(m_callbacks.onArrowLeft);
            return;
        }
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        run(m_callbacks.onReturn);
        return;
    case Qt::Key_Escape:
        run(m_callbacks.onEscape);
        return;
    default:
        break;
    }
    QLineEdit::keyPressEvent(event);
}

}  // namespace harkwell
