#include "app/MenuWindow.h"

#include "app/MenuRenderer.h"

#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

namespace harkwell {

namespace {

// A button's "&" would mark a mnemonic; the rows' texts are meant literally.
QString literal(const QString& text)
{
    QString escaped = text;
    return escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QLabel* line(const QString& text, bool title, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setMaximumWidth(MenuRenderer::kMaxTextWidth);
    if (title) {
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
    }
    return label;
}

}  // namespace

MenuWindow::MenuWindow(QWidget* parent) : QWidget(parent, Qt::Window), m_layout(new QVBoxLayout(this))
{
    setWindowTitle(QStringLiteral("harkwell"));
    m_layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString MenuWindow::buttonText(const MenuRow& row)
{
    QString text = literal(row.text);
    if (!row.trailing.isEmpty())
        text += QStringLiteral("  ") + row.trailing;
    return text;
}

void MenuWindow::render(const MenuRows& rows)
{
    // The same rows with new texts (a recording's clock, a count) change in place, so that a
    // submenu open from this window stays open.
    bool sameShape = m_content && rows.size() == m_rows.size();
    for (qsizetype i = 0; sameShape && i < rows.size(); ++i)
        sameShape = rows[i].kind == m_rows[i].kind && (rows[i].kind != MenuRow::Kind::Submenu || rows[i].text == m_rows[i].text);
    if (sameShape) {
        m_rows = rows;
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const MenuRow& row = rows[i];
            if (auto* label = qobject_cast<QLabel*>(m_widgets[i])) {
                label->setText(row.text);
            } else if (auto* button = qobject_cast<QPushButton*>(m_widgets[i]); button && !button->menu()) {
                button->setText(buttonText(row));
                button->setEnabled(row.enabled);
                button->setShortcut(row.shortcut);
            }
        }
        return;
    }
    m_rows = rows;
    m_widgets.clear();
    // The old widgets may be running the click that asked for this; they go once it returns.
    if (m_content) {
        m_content->hide();
        m_content->deleteLater();
    }
    m_content = new QWidget(this);
    auto* column = new QVBoxLayout(m_content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    for (qsizetype i = 0; i < rows.size(); ++i) {
        m_widgets << rowWidget(i, m_content);
        column->addWidget(m_widgets.last());
    }
    m_layout->addWidget(m_content);
}

QWidget* MenuWindow::rowWidget(qsizetype index, QWidget* parent)
{
    const MenuRow& row = m_rows[index];
    switch (row.kind) {
    case MenuRow::Kind::Separator: {
        auto* rule = new QFrame(parent);
        rule->setFrameShape(QFrame::HLine);
        rule->setFrameShadow(QFrame::Sunken);
        return rule;
    }
    case MenuRow::Kind::Header:
        return line(row.text, true, parent);
    case MenuRow::Kind::Text:
        return line(row.text, false, parent);
    case MenuRow::Kind::Button: {
        auto* button = new QPushButton(buttonText(row), parent);
        button->setFlat(true);
        button->setStyleSheet(QStringLiteral("text-align: left; padding: 4px 8px;"));
        button->setEnabled(row.enabled);
        button->setShortcut(row.shortcut);
        connect(button, &QPushButton::clicked, this, [this, index] {
            // A copy: the action may render new rows into this window.
            const std::function<void()> act = m_rows.value(index).action;
            if (act)
                act();
        });
        return button;
    }
    case MenuRow::Kind::Submenu: {
        auto* button = new QPushButton(literal(row.text), parent);
        button->setFlat(true);
        button->setStyleSheet(QStringLiteral("text-align: left; padding: 4px 8px;"));
        auto* menu = new QMenu(button);
        auto* renderer = new MenuRenderer(menu, menu);
        // Filled as it opens, as the tray's submenus are.
        connect(menu, &QMenu::aboutToShow, renderer, [this, renderer, index] { renderer->render(m_rows.value(index).content()); });
        button->setMenu(menu);
        return button;
    }
    }
    return new QWidget(parent);
}

}  // namespace harkwell
