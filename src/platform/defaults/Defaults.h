#pragma once
// User defaults of one domain, kept as a JSON object in $XDG_CONFIG_HOME/harkwell/<domain>.json.
// Every read looks at the file and every write replaces it atomically, so two instances of one
// domain (or two processes) never work from stale copies. A file that is not a JSON object reads
// as empty and is never written over: the first write moves it aside to <file>.invalid.

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace harkwell {

class Defaults {
public:
    explicit Defaults(QString domain);

    // The application's own domain.
    static Defaults standard();

    const QString& domain() const { return m_domain; }
    QString filePath() const;
    // Where a damaged file is kept for a person (or a recovery) to read.
    QString keptAsidePath() const;

    // True when the file exists and is not a JSON object.
    bool cannotBeOpened() const;
    // Moves a file that cannot be opened to keptAsidePath(); true when it did.
    bool keepAsideIfDamaged();
    bool exists() const;

    bool contains(const QString& key) const;
    QJsonValue value(const QString& key) const;
    bool boolValue(const QString& key, bool fallback = false) const;
    std::optional<double> doubleValue(const QString& key) const;
    std::optional<QString> stringValue(const QString& key) const;
    // Dates are stored as ISO 8601 text with milliseconds, in UTC.
    std::optional<QDateTime> dateValue(const QString& key) const;
    QJsonObject all() const;

    void setValue(const QString& key, const QJsonValue& value);
    void setBool(const QString& key, bool value) { setValue(key, value); }
    void setDate(const QString& key, const QDateTime& value);
    void remove(const QString& key);
    // Removes every key that begins with prefix.
    void removeWithPrefix(const QString& prefix);
    // Deletes the domain's file.
    void removeDomain();

private:
    QJsonObject read() const;
    void write(const QJsonObject& object) const;
    bool keepAsideLocked() const;

    QString m_domain;
};

}  // namespace harkwell
