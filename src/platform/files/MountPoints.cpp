#include "platform/files/MountPoints.h"

#include <QFile>

namespace harkwell {

namespace {

// The table writes a blank, a tab, a line break and a backslash as "\" and three octal digits.
QByteArray unescaped(const QByteArray& field)
{
    QByteArray plain;
    plain.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const auto isOctal = [&](qsizetype at) { return at < field.size() && field[at] >= '0' && field[at] <= '7'; };
        if (field[i] == '\\' && isOctal(i + 1) && isOctal(i + 2) && isOctal(i + 3)) {
            plain += char(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
            i += 3;
        } else {
            plain += field[i];
        }
    }
    return plain;
}

}  // namespace

QList<QByteArray> MountPoints::below(const QByteArray& folder)
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return {};
    return below(folder, table.readAll());
}

QList<QByteArray> MountPoints::below(const QByteArray& folder, const QByteArray& table)
{
    QByteArray prefix = folder;
    while (prefix.endsWith('/'))
        prefix.chop(1);
    prefix += '/';
    QList<QByteArray> found;
    for (const QByteArray& line : table.split('\n')) {
        // The fifth field is the mount point.
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 5)
            continue;
        const QByteArray point = unescaped(fields[4]);
        if (point.size() > prefix.size() && point.startsWith(prefix) && !found.contains(point))
            found.append(point);
    }
    return found;
}

}  // namespace harkwell
