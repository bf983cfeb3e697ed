#pragma once
// One row of the tray menu as plain data, so the menu's content can be built and checked without a
// display and rendered into a QMenu each time it opens.

#include <QKeySequence>
#include <QList>
#include <QString>

#include <functional>

namespace harkwell {

struct MenuRow;
using MenuRows = QList<MenuRow>;

struct MenuRow {
    enum class Kind { Button, Text, Header, Submenu, Separator };

    Kind kind = Kind::Button;
    QString text;
    bool enabled = true;
    QKeySequence shortcut;
    std::function<void()> action;  // Button only
    QList<MenuRow> children;       // Submenu only
    // Submenu only: builds the children when the submenu opens, for lists too long to build ahead.
    std::function<MenuRows()> fill;
    // Shown right-aligned in the shortcut column, such as a running clock beside its row.
    QString trailing;

    static MenuRow button(QString text, std::function<void()> action, QKeySequence shortcut = {})
    {
        return {Kind::Button, std::move(text), true, std::move(shortcut), std::move(action), {}, {}, {}};
    }
    // A line of information: not actionable, shown in the caption font.
    static MenuRow caption(QString text) { return {Kind::Text, std::move(text), false, {}, {}, {}, {}, {}}; }
    static MenuRow header(QString text) { return {Kind::Header, std::move(text), false, {}, {}, {}, {}, {}}; }
    static MenuRow submenu(QString text, QList<MenuRow> children)
    {
        return {Kind::Submenu, std::move(text), true, {}, {}, std::move(children), {}, {}};
    }
    static MenuRow lazySubmenu(QString text, std::function<MenuRows()> fill)
    {
        return {Kind::Submenu, std::move(text), true, {}, {}, {}, std::move(fill), {}};
    }
    static MenuRow separator() { return {Kind::Separator, {}, false, {}, {}, {}, {}, {}}; }

    // What a submenu holds, built now when it is built on opening.
    MenuRows content() const { return fill ? fill() : children; }
};

}  // namespace harkwell
