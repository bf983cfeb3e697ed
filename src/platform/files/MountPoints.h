#pragma once
// The mount points of this process's view of the system, read from the kernel's table rather than
// by looking at the folders: a mount that hangs is named without being touched.

#include <QByteArray>
#include <QList>

namespace harkwell {

class MountPoints {
public:
    // The mount points strictly below `folder` (as the kernel spells them, no trailing "/"), in the
    // table's order; nothing when the table cannot be read.
    static QList<QByteArray> below(const QByteArray& folder);
    // The same, from a table's text in the form of /proc/self/mountinfo.
    static QList<QByteArray> below(const QByteArray& folder, const QByteArray& table);
};

}  // namespace harkwell
