#include "app/MenuRenderer.h"

#include <QAction>
#include <QMenu>

namespace harkwell {

namespace {
// A single "&" would mark a keyboard mnemonic; the rows' texts are meant literally.
QString literal(const QString& text)
{
    QString escaped = text;
    return escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
}
}  // namespace

void MenuRenderer::render(const MenuRows& rows, QMenu* menu)
{
    // Submenus are children of the menu: clearing the actions alone would keep them alive.
    menu->clear();
    for (QMenu* old : menu->findChildren<QMenu*>(Qt::FindDirectChildrenOnly))
        old->deleteLater();

    for (const MenuRow& row : rows) {
        switch (row.kind) {
        case MenuRow::Kind::Separator:
            menu->addSeparator();
            break;
        case MenuRow::Kind::Header:
            menu->addSection(literal(row.text));
            break;
        case MenuRow::Kind::Text: {
            QAction* action = menu->addAction(literal(row.text));
            action->setEnabled(false);
            QFont font = action->font();
            if (font.pointSizeF() > 0)
                font.setPointSizeF(font.pointSizeF() * 0.9);
            action->setFont(font);
            break;
        }
        case MenuRow::Kind::Button: {
            QAction* action = menu->addAction(literal(row.text));
            action->setEnabled(row.enabled);
            action->setShortcut(row.shortcut);
            if (row.action)
                QObject::connect(action, &QAction::triggered, menu, [act = row.action] { act(); });
            break;
        }
        case MenuRow::Kind::Submenu: {
            auto* submenu = new QMenu(literal(row.text), menu);
            render(row.children, submenu);
            menu->addMenu(submenu);
            break;
        }
        }
    }
}

}  // namespace harkwell
