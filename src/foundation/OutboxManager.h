#pragma once
// Reads the field lines of a delivery folder's _manifest.md ("**Key:** value") for the menu's
// outbox section. It only reads; nothing in the application writes a manifest.

#include <QMap>
#include <QString>

namespace harkwell {

class OutboxManager {
public:
    // The fields of <folder>/_manifest.md, the first occurrence of a key winning; empty when
    // there are none or the file is missing, unreadable or not UTF-8.
    static QMap<QString, QString> manifestFields(const QString& folder);
};

}  // namespace harkwell
