#include "app/MenuRenderer.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>
#include <QTimer>

namespace harkwell {

namespace {

// A single "&" would mark a keyboard mnemonic; the rows' texts are meant literally. A menu the tray
// hands to the panel over D-Bus goes out in dbusmenu's words, where "_" marks the mnemonic and only
// "__" shows an underscore; Qt turns the first "&" into that "_" on the way.
QString literal(const QString& text, bool exported)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
    if (exported)
        escaped.replace(QLatin1Char('_'), QStringLiteral("__"));
    return escaped;
}

bool sameShape(const MenuRows& a, const MenuRows& b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i)
        if (a[i].kind != b[i].kind)
            return false;
    return true;
}

}  // namespace

// One QMenu of the tree and the rows it shows now.
class MenuLevel final : public QObject {
public:
    MenuLevel(QMenu* menu, MenuRenderer* renderer, bool lazy)
        : QObject(menu), m_menu(menu), m_renderer(renderer), m_lazy(lazy)
    {
        m_menu->setToolTipsVisible(true);
        m_menu->installEventFilter(renderer);
        if (lazy)
            connect(m_menu, &QMenu::aboutToShow, this, [this] {
                if (m_stale)
                    build(m_source());
            });
        connect(m_menu, &QMenu::aboutToHide, this, [this] {
            // After the chosen row's action has run, which may itself change the menu.
            QTimer::singleShot(0, this, [this] {
                if (m_stale && !m_menu->isVisible() && !m_lazy)
                    build(m_source());
            });
        });
    }

    void setSource(std::function<MenuRows()> source)
    {
        m_source = std::move(source);
        if (!m_menu->isVisible()) {
            if (m_lazy)
                m_stale = true;
            else
                build(m_source());
            return;
        }
        const MenuRows rows = m_source();
        if (!m_stale && sameShape(m_shown, rows))
            update(rows);
        else
            m_stale = true;  // rebuilt once the menu has closed
    }

    // The button whose shortcut this is, among the rows built so far.
    std::function<void()> shortcutAction(const QKeySequence& keys) const
    {
        for (qsizetype i = 0; i < m_shown.size(); ++i) {
            const MenuRow& row = m_shown[i];
            if (row.kind == MenuRow::Kind::Button && row.enabled && !row.shortcut.isEmpty() && row.shortcut == keys)
                return row.action;
            if (m_children.value(i))
                if (auto action = m_children[i]->shortcutAction(keys))
                    return action;
        }
        return {};
    }

private:
    static std::function<MenuRows()> sourceOf(const MenuRow& row)
    {
        if (row.fill)
            return row.fill;
        return [children = row.children] { return children; };
    }

    // Whether the panel draws this menu from its export rather than Qt from its actions.
    bool exported() const { return m_menu->platformMenu() != nullptr; }

    QString fitted(const QString& text, QAction* action) const
    {
        const QFontMetrics metrics(m_menu->font());
        const QString shown = metrics.elidedText(text, Qt::ElideMiddle, MenuRenderer::kMaxTextWidth);
        action->setToolTip(shown == text ? QString() : text);
        return literal(shown, exported());
    }

    // Status lines and section titles are disabled plain actions: a panel that draws the menu from
    // its D-Bus export shows nothing of a widget action and only a line for a section.
    void applyLine(QAction* action, const MenuRow& row) const
    {
        action->setText(fitted(row.text, action));
        action->setEnabled(false);
        if (row.kind == MenuRow::Kind::Header) {
            QFont font = action->font();
            font.setBold(true);
            action->setFont(font);
        }
    }

    void applyButton(QAction* action, const MenuRow& row) const
    {
        QString text = fitted(row.text, action);
        if (!row.trailing.isEmpty())
            text += QLatin1Char('\t') + row.trailing;
        action->setText(text);
        action->setEnabled(row.enabled);
        action->setShortcut(row.shortcut);
    }

    void build(const MenuRows& rows)
    {
        m_stale = false;
        // Submenus are children of the menu: clearing the actions alone would keep them alive.
        m_menu->clear();
        for (QMenu* old : m_menu->findChildren<QMenu*>(Qt::FindDirectChildrenOnly))
            old->deleteLater();
        m_actions.clear();
        m_children.clear();
        m_shown = rows;

        for (qsizetype i = 0; i < rows.size(); ++i) {
            const MenuRow& row = rows[i];
            QAction* action = nullptr;
            MenuLevel* child = nullptr;
            switch (row.kind) {
            case MenuRow::Kind::Separator:
                action = m_menu->addSeparator();
                break;
            case MenuRow::Kind::Header:
            case MenuRow::Kind::Text:
                action = m_menu->addAction(QString());
                applyLine(action, row);
                break;
            case MenuRow::Kind::Button:
                action = m_menu->addAction(QString());
                applyButton(action, row);
                connect(action, &QAction::triggered, this, [this, i] {
                    // A copy: the action may rebuild this menu.
                    const std::function<void()> act = m_shown.value(i).action;
                    if (act)
                        act();
                });
                break;
            case MenuRow::Kind::Submenu: {
                auto* submenu = new QMenu(m_menu);
                action = m_menu->addMenu(submenu);
                action->setText(fitted(row.text, action));
                child = new MenuLevel(submenu, m_renderer, true);
                child->setSource(sourceOf(row));
                break;
            }
            }
            m_actions << action;
            m_children << child;
        }
    }

    void update(const MenuRows& rows)
    {
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const MenuRow& row = rows[i];
            QAction* action = m_actions[i];
            switch (row.kind) {
            case MenuRow::Kind::Separator:
                break;
            case MenuRow::Kind::Header:
            case MenuRow::Kind::Text:
                applyLine(action, row);
                break;
            case MenuRow::Kind::Button:
                applyButton(action, row);
                break;
            case MenuRow::Kind::Submenu:
                action->setText(fitted(row.text, action));
                m_children[i]->setSource(sourceOf(row));
                break;
            }
        }
        m_shown = rows;
    }

    QMenu* m_menu;
    MenuRenderer* m_renderer;
    bool m_lazy = false;
    bool m_stale = true;
    std::function<MenuRows()> m_source;
    MenuRows m_shown;
    QList<QAction*> m_actions;     // one per row shown
    QList<MenuLevel*> m_children;  // one per row shown; set for submenus
};

MenuRenderer::MenuRenderer(QMenu* menu, QObject* parent)
    : QObject(parent), m_menu(menu), m_root(new MenuLevel(menu, this, false))
{
}

MenuRenderer::~MenuRenderer() = default;

void MenuRenderer::render(const MenuRows& rows)
{
    m_root->setSource([rows] { return rows; });
}

bool MenuRenderer::eventFilter(QObject* watched, QEvent* event)
{
    // An open menu holds the keyboard, so the rows' shortcuts never reach the usual shortcut handling.
    if (event->type() != QEvent::ShortcutOverride && event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (!(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)))
        return QObject::eventFilter(watched, event);
    const std::function<void()> action = m_root->shortcutAction(QKeySequence(key->keyCombination()));
    if (!action)
        return QObject::eventFilter(watched, event);
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();  // delivered as a key press, handled below
        return true;
    }
    // The whole cascade closes, as after a click on a row.
    for (int open = 0; open < 16; ++open) {
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!popup)
            break;
        popup->close();
    }
    m_menu->hide();
    // Once the menu is gone, as a click on the row would.
    QTimer::singleShot(0, this, [action] { action(); });
    return true;
}

}  // namespace harkwell
