#pragma once
// Menu rows as indented lines, two blanks a level and "---" for a divider, so a test compares a
// whole menu (or its top levels) in one table row.

#include "app/MenuRow.h"

#include <QStringList>

namespace harkwell::test {

inline void appendTree(QStringList& lines, const MenuRows& rows, int depth, int maxDepth)
{
    for (const MenuRow& row : rows) {
        lines << QString(depth * 2, QLatin1Char(' ')) + (row.kind == MenuRow::Kind::Separator ? QStringLiteral("---") : row.text);
        if (row.kind == MenuRow::Kind::Submenu && depth + 1 < maxDepth)
            appendTree(lines, row.children, depth + 1, maxDepth);
    }
}

// Every level down to maxDepth (1: the given rows only).
inline QStringList tree(const MenuRows& rows, int maxDepth = 99)
{
    QStringList lines;
    appendTree(lines, rows, 0, maxDepth);
    return lines;
}

inline const MenuRow* findRow(const MenuRows& rows, const QString& text)
{
    for (const MenuRow& row : rows) {
        if (row.text == text)
            return &row;
        if (const MenuRow* inner = findRow(row.children, text))
            return inner;
    }
    return nullptr;
}

}  // namespace harkwell::test
