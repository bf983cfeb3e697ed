#pragma once
// Strict reading of one JSON object's members, the way the stored files are binding: a required
// key must be present and not null, every value must have its declared type, integers must be whole.
// The first failure is kept; the getters then return empty values and the caller checks error()
// once at the end, so a decoder reads top to bottom like the record it fills.

#include "foundation/DecodeError.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

#include <optional>

namespace harkwell {

class JsonFields {
public:
    // `context` prefixes error texts ("watchedFoldersRaw[2]"), so a nested failure names its place.
    explicit JsonFields(const QJsonObject& object, QString context = {});

    QString string(const QString& key);
    std::optional<QString> optionalString(const QString& key);
    double number(const QString& key);
    std::optional<double> optionalNumber(const QString& key);
    int integer(const QString& key);
    std::optional<int> optionalInteger(const QString& key);
    qint64 integer64(const QString& key);
    bool boolean(const QString& key);
    std::optional<bool> optionalBoolean(const QString& key);
    QStringList strings(const QString& key);
    std::optional<QStringList> optionalStrings(const QString& key);
    QJsonObject object(const QString& key);
    std::optional<QJsonObject> optionalObject(const QString& key);
    QJsonArray array(const QString& key);
    std::optional<QJsonArray> optionalArray(const QString& key);

    // Records a failure found by the caller (an unknown raw value, a nested record that failed).
    void fail(const QString& key, const QString& reason);
    void fail(const DecodeError& nested);

    bool ok() const { return !m_error.has_value(); }
    const std::optional<DecodeError>& error() const { return m_error; }
    QString place(const QString& key) const;

private:
    // The member when present and not null; records "missing" for a required key.
    std::optional<QJsonValue> member(const QString& key, bool required);
    void wrongType(const QString& key, const char* expected);

    QJsonObject m_object;
    QString m_context;
    std::optional<DecodeError> m_error;
};

}  // namespace harkwell
