#include "foundation/JsonFields.h"

#include <cmath>
#include <limits>

namespace harkwell {

namespace {
std::optional<qint64> wholeNumber(const QJsonValue& value, double low, double high)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number || number < low || number > high)
        return std::nullopt;
    return static_cast<qint64>(number);
}
}  // namespace

JsonFields::JsonFields(const QJsonObject& object, QString context) : m_object(object), m_context(std::move(context)) {}

QString JsonFields::place(const QString& key) const
{
    return m_context.isEmpty() ? key : m_context + QLatin1Char('.') + key;
}

void JsonFields::fail(const QString& key, const QString& reason)
{
    if (!m_error)
        m_error = DecodeError{QStringLiteral("%1: %2").arg(place(key), reason)};
}

void JsonFields::fail(const DecodeError& nested)
{
    if (!m_error)
        m_error = nested;
}

void JsonFields::wrongType(const QString& key, const char* expected)
{
    fail(key, QStringLiteral("expected %1").arg(QLatin1String(expected)));
}

std::optional<QJsonValue> JsonFields::member(const QString& key, bool required)
{
    const auto found = m_object.constFind(key);
    if (found == m_object.constEnd() || found->isNull()) {
        if (required)
            fail(key, QStringLiteral("missing"));
        return std::nullopt;
    }
    return *found;
}

std::optional<QString> JsonFields::optionalString(const QString& key)
{
    const auto value = member(key, false);
    if (!value)
        return std::nullopt;
    if (!value->isString()) {
        wrongType(key, "a string");
        return std::nullopt;
    }
    return value->toString();
}

QString JsonFields::string(const QString& key)
{
    if (!member(key, true))
        return {};
    return optionalString(key).value_or(QString());
}

std::optional<double> JsonFields::optionalNumber(const QString& key)
{
    const auto value = member(key, false);
    if (!value)
        return std::nullopt;
    if (!value->isDouble()) {
        wrongType(key, "a number");
        return std::nullopt;
    }
    return value->toDouble();
}

double JsonFields::number(const QString& key)
{
    if (!member(key, true))
        return 0;
    return optionalNumber(key).value_or(0);
}

std::optional<int> JsonFields::optionalInteger(const QString& key)
{
    const auto value = member(key, false);
    if (!value)
        return std::nullopt;
    const auto whole = wholeNumber(*value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    if (!whole) {
        wrongType(key, "an integer");
        return std::nullopt;
    }
    return static_cast<int>(*whole);
}

int JsonFields::integer(const QString& key)
{
    if (!member(key, true))
        return 0;
    return optionalInteger(key).value_or(0);
}

qint64 JsonFields::integer64(const QString& key)
{
    const auto value = member(key, true);
    if (!value)
        return 0;
    // Beyond 2^53 a JSON number no longer holds every integer; no file size comes near it.
    const auto whole = wholeNumber(*value, -9007199254740992.0, 9007199254740992.0);
    if (!whole) {
        wrongType(key, "an integer");
        return 0;
    }
    return *whole;
}

std::optional<bool> JsonFields::optionalBoolean(const QString& key)
{
    const auto value = member(key, false);
    if (!value)
        return std::nullopt;
    if (!value->isBool()) {
        wrongType(key, "true or false");
        return std::nullopt;
    }
    return value->toBool();
}

bool JsonFields::boolean(const QString& key)
{
    if (!member(key, true))
        return false;
    return optionalBoolean(key).value_or(false);
}

std::optional<QStringList> JsonFields::optionalStrings(const QString& key)
{
    const auto value = member(key, false);
    if (!value)
        return std::nullopt;
    if (!value->isArray()) {
        wrongType(key, "an array of strings");
        return std::nullopt;
    }
    QStringList list;
    for (const QJsonValue& element : value->toArray()) {
        if (!element.isString()) {
            wrongType(key, "an array of strings");
            return std::nullopt;
        }
        list.append(element.toString());
    }
    return list;
}

QStringList JsonFields::strings(const QString& key)
{
    if (!member(key, true))
        return {};
    return optionalStrings(key).value_or(QStringList());
}

std::optional<QJsonObject> JsonFields::optionalObject(const QString& key)
{
    const auto value = member(key, false);
    if (!value)
        return std::nullopt;
    if (!value->isObject()) {
        wrongType(key, "an object");
        return std::nullopt;
    }
    return value->toObject();
}

QJsonObject JsonFields::object(const QString& key)
{
    if (!member(key, true))
        return {};
    return optionalObject(key).value_or(QJsonObject());
}

std::optional<QJsonArray> JsonFields::optionalArray(const QString& key)
{
    const auto value = member(key, false);
    if (!value)
        return std::nullopt;
    if (!value->isArray()) {
        wrongType(key, "an array");
        return std::nullopt;
    }
    return value->toArray();
}

QJsonArray JsonFields::array(const QString& key)
{
    if (!member(key, true))
        return {};
    return optionalArray(key).value_or(QJsonArray());
}

}  // namespace harkwell
