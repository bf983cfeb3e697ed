#pragma once
// A private home with a folder tree to list: files written with the modification time a case needs.

#include "support/TempHome.h"

#include <QDateTime>
#include <QFile>
#include <QStringList>

#include <algorithm>

namespace harkwell::test {

struct VaultTree {
    // Writes `relative` below `root` (folders created) and sets its modification time.
    static QString file(const QString& root, const QString& relative, const QDateTime& modified,
                        const QByteArray& content = "x")
    {
        const QString path = root + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile out(path);
        if (out.open(QIODevice::WriteOnly)) {
            out.write(content);
            out.flush();
            out.setFileTime(modified, QFileDevice::FileModificationTime);
        }
        return path;
    }
};

// The relative paths of a listing, sorted, for comparisons that do not depend on order.
template <typename List, typename Get>
QStringList sortedPaths(const List& list, Get get)
{
    QStringList paths;
    for (const auto& item : list)
        paths.append(get(item));
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace harkwell::test
