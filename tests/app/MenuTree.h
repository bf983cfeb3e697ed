#pragma once
// Menu rows as indented lines, two blanks a level and "---" for a divider, so a test compares a
// whole menu (or its top levels) in one table row.

#include "app/MenuRow.h"

#include <QStringList>

#include <optional>

namespace harkwell::test {

inline void appendTree(QStringList& lines, const MenuRows& rows, int depth, int maxDepth)
{
    for (const MenuRow& row : rows) {
        lines << QString(depth * 2, QLatin1Char(' ')) + (row.kind == MenuRow::Kind::Separator ? QStringLiteral("---") : row.text);
        if (row.kind == MenuRow::Kind::Submenu && depth + 1 < maxDepth)
            appendTree(lines, row.content(), depth + 1, maxDepth);
    }
}

// Every level down to maxDepth (1: the given rows only).
inline QStringList tree(const MenuRows& rows, int maxDepth = 99)
{
    QStringList lines;
    appendTree(lines, rows, 0, maxDepth);
    return lines;
}

// Submenus built on opening are opened on the way.
inline std::optional<MenuRow> findRow(const MenuRows& rows, const QString& text)
{
    for (const MenuRow& row : rows) {
        if (row.text == text)
            return row;
        if (row.kind == MenuRow::Kind::Submenu)
            if (std::optional<MenuRow> inner = findRow(row.content(), text))
                return inner;
    }
    return std::nullopt;
}

}  // namespace harkwell::test
