#pragma once
// Names taken apart from listed paths, as the listers put them into FileEntry: by "/" alone,
// without asking the file system.

#include <QString>
#include <QStringList>

namespace harkwell {

class ListedPaths {
public:
    // "a/b/c.md" → "c.md"
    static QString lastComponent(const QString& path);
    // "a/b/c.md" → "b"; a name with no folder gives "".
    static QString parentName(const QString& path);
    // Components without the empty ones: "/a//b/" → ["a", "b"]
    static QStringList components(const QString& path);
};

}  // namespace harkwell
