#include "JsonMutator.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cstring>
#include <random>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace harkwell::fuzz {

namespace {

// Text that Qt's writer cannot produce (numbers beyond a double, bytes that are not UTF-8, escapes
// of lone surrogates) goes in as a marked string and is swapped for its raw bytes after writing.
constexpr char kRawMark[] = "\\u0001raw:";

const QList<QByteArray>& rawPieces()
{
    static const QList<QByteArray> pieces{
        "1e400", "-1e400", "1e-400", "3.5e38", "-3.5e38", "4e38", "1.7976931348623157e308", "2147483648",
        "-2147483649", "9007199254740993", "123456789012345678901234567890", "-0", "0.5", "-0.25", "1e-7", "NaN",
        "Infinity", "\"\xff\"", "\"a\xc3(\"", "\"\xed\xa0\x80\"", "\"\\ud800\"", "\"\\udc00x\"", "\"\\u0000\"",
        "\"caf\\u00e9\"", "\"\xef\xbb\xbfx\"", "\"a\\u2028b\""};
    return pieces;
}

const QStringList& commonTexts()
{
    static const QStringList texts{
        QString(), QStringLiteral(".."), QStringLiteral("../x"), QStringLiteral("."), QStringLiteral("/"),
        QStringLiteral("a/../../b"), QStringLiteral("x/"), QStringLiteral("/tmp/x"), QStringLiteral("~"),
        QStringLiteral("~/x"), QStringLiteral("null"), QStringLiteral("NaN"), QStringLiteral("-inf"),
        QStringLiteral("2026-03-05T14:07:09Z"), QStringLiteral("2026-03-05T14:07:09.250Z"),
        QStringLiteral("2026-03-05T14:07:09+05:30"), QStringLiteral("2026-03-05T14:07:09-23:59"),
        QStringLiteral("0000-01-01T00:00:00Z"), QStringLiteral("0001-01-01T00:00:00+14:00"),
        QStringLiteral("0001-01-01T00:00:00Z"), QStringLiteral("9999-12-31T23:59:59Z"),
        QStringLiteral("9999-12-31T23:59:59-12:00"), QStringLiteral("10000-01-01T00:00:00Z"),
        QStringLiteral("2026-02-30T00:00:00Z"), QStringLiteral("2026-03-05T24:00:00Z"),
        QStringLiteral("2026-03-05T14:07:09.99999Z"), QStringLiteral("260305-140709"),
        QStringLiteral("file:///tmp/vault/a.md"), QStringLiteral("file:///tmp/vault/../etc/passwd"),
        QStringLiteral("file://host/x"), QStringLiteral("http://example.invalid/x"), QStringLiteral("file:///a%2Fb"),
        QStringLiteral("file:///%FF"), QStringLiteral("file:///tmp/a%20b?q#f"), QStringLiteral("segment-001.caf"),
        QStringLiteral("00000000-0000-0000-0000-000000000000"), QStringLiteral("6F9619FF-8B86-D011-B42D-00C04FC964FF"),
        QStringLiteral("12.5 sec"), QStringLiteral("\t"), QStringLiteral("a\nb"), QStringLiteral("\u00e9"),
        QStringLiteral("\U0001F600"), QString(3000, QLatin1Char('x'))};
    return texts;
}

const QList<double>& commonNumbers()
{
    static const QList<double> numbers{0,    1,     -1,     0.5,          -0.5,   60,      7,        500,
                                       1e9,  -1e9,  1e308, -1e308,       3e38,   1e-300, 2147483647, -2147483648,
                                       1e15, 86400, 48000, 9007199254740992.0, 0.49999, 1.0 / 3};
    return numbers;
}

class Mutator {
public:
    Mutator(unsigned int seed, const QStringList& keys) : m_rng(seed), m_keys(keys) {}

    size_t below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(m_rng); }
    bool oneIn(size_t n) { return below(n) == 0; }

    QString key() { return m_keys.isEmpty() || oneIn(8) ? text() : m_keys.at(qsizetype(below(size_t(m_keys.size())))); }

    QString text()
    {
        if (!m_keys.isEmpty() && oneIn(2))
            return m_keys.at(qsizetype(below(size_t(m_keys.size()))));
        return commonTexts().at(qsizetype(below(size_t(commonTexts().size()))));
    }

    QJsonValue raw()
    {
        return QStringLiteral("\u0001raw:")
               + QString::fromLatin1(rawPieces().at(qsizetype(below(size_t(rawPieces().size())))).toHex());
    }

    QJsonValue value(int depth = 0)
    {
        switch (below(depth > 2 ? 5 : 8)) {
        case 0: return text();
        case 1: return commonNumbers().at(qsizetype(below(size_t(commonNumbers().size()))));
        case 2: return oneIn(2);
        case 3: return oneIn(3) ? QJsonValue(QJsonValue::Null) : text();
        case 4: return raw();
        case 5: {
            QJsonObject object;
            for (size_t i = below(4); i > 0; --i)
                object.insert(key(), value(depth + 1));
            return object;
        }
        case 6: {
            QJsonArray array;
            for (size_t i = below(4); i > 0; --i)
                array.append(value(depth + 1));
            return array;
        }
        default: return text();
        }
    }

    // A small change of a scalar: a byte mutation of a text, a step of a number.
    QJsonValue tweak(const QJsonValue& old)
    {
        if (old.isString()) {
            QByteArray bytes = old.toString().toUtf8();
            const size_t room = size_t(bytes.size()) + 16;
            bytes.resize(qsizetype(room));
            const size_t size = LLVMFuzzerMutate(reinterpret_cast<uint8_t*>(bytes.data()), room - 16, room);
            bytes.resize(qsizetype(size));
            return QString::fromUtf8(bytes);
        }
        if (old.isDouble()) {
            const double number = old.toDouble();
            switch (below(6)) {
            case 0: return number + 1;
            case 1: return number - 1;
            case 2: return -number;
            case 3: return number * 1e10;
            case 4: return number + 0.5;
            default: return number / 3;
            }
        }
        if (old.isBool())
            return !old.toBool();
        return value();
    }

    static size_t count(const QJsonValue& node)
    {
        size_t n = 1;
        if (node.isObject())
            for (const QJsonValue& child : node.toObject())
                n += count(child);
        else if (node.isArray())
            for (const QJsonValue& child : node.toArray())
                n += count(child);
        return n;
    }

    // Walks the tree in preorder; the node numbered `m_target` is changed, through its container
    // when the change is one of the container's (drop, duplicate, rename).
    bool visit(QJsonValue& node)
    {
        if (m_target-- == 0) {
            changeSelf(node);
            return true;
        }
        if (node.isObject()) {
            QJsonObject object = node.toObject();
            const QStringList keys = object.keys();
            for (const QString& name : keys) {
                QJsonValue child = object.value(name);
                if (m_target == 0 && oneIn(2)) {
                    m_target = -1;
                    switch (below(3)) {
                    case 0: object.remove(name); break;
                    case 1: object.insert(key(), child); break;
                    default: object.remove(name); object.insert(key(), child); break;
                    }
                    node = object;
                    return true;
                }
                if (visit(child)) {
                    object.insert(name, child);
                    node = object;
                    return true;
                }
            }
        } else if (node.isArray()) {
            QJsonArray array = node.toArray();
            for (qsizetype i = 0; i < array.size(); ++i) {
                QJsonValue child = array.at(i);
                if (m_target == 0 && oneIn(2)) {
                    m_target = -1;
                    if (oneIn(2))
                        array.removeAt(i);
                    else
                        array.insert(qsizetype(below(size_t(array.size()) + 1)), child);
                    node = array;
                    return true;
                }
                if (visit(child)) {
                    array.replace(i, child);
                    node = array;
                    return true;
                }
            }
        }
        return false;
    }

    void changeSelf(QJsonValue& node)
    {
        if (node.isObject() && oneIn(2)) {
            QJsonObject object = node.toObject();
            object.insert(key(), value(1));
            node = object;
        } else if (node.isArray() && oneIn(2)) {
            QJsonArray array = node.toArray();
            const QJsonValue added = !array.isEmpty() && oneIn(2) ? array.at(qsizetype(below(size_t(array.size())))) : value(1);
            array.insert(qsizetype(below(size_t(array.size()) + 1)), added);
            node = array;
        } else if (oneIn(2)) {
            node = tweak(node);
        } else {
            node = value(1);
        }
    }

    QJsonValue mutate(QJsonValue root)
    {
        for (size_t rounds = 1 + below(3); rounds > 0; --rounds) {
            m_target = int(below(count(root)));
            visit(root);
        }
        return root;
    }

private:
    std::minstd_rand m_rng;
    const QStringList& m_keys;
    int m_target = 0;
};

QByteArray write(const QJsonValue& root)
{
    QByteArray out;
    if (root.isObject())
        out = QJsonDocument(root.toObject()).toJson(QJsonDocument::Compact);
    else if (root.isArray())
        out = QJsonDocument(root.toArray()).toJson(QJsonDocument::Compact);
    else
        out = QJsonDocument(QJsonArray{root}).toJson(QJsonDocument::Compact).chopped(1).sliced(1);
    // Swap every marked string for its raw bytes.
    for (qsizetype at = out.indexOf(kRawMark); at > 0; at = out.indexOf(kRawMark, at)) {
        const qsizetype start = at + qsizetype(std::strlen(kRawMark));
        const qsizetype end = out.indexOf('"', start);
        if (end < 0)
            break;
        const QByteArray piece = QByteArray::fromHex(out.sliced(start, end - start));
        out.replace(at - 1, end - at + 2, piece);
        at += piece.size() - 1;
    }
    return out;
}

}  // namespace

size_t mutateJson(uint8_t* data, size_t size, size_t maxSize, unsigned int seed, const QStringList& keys)
{
    Mutator mutator(seed, keys);
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), &error);
    if (error.error != QJsonParseError::NoError || mutator.oneIn(10))
        return LLVMFuzzerMutate(data, size, maxSize);
    const QJsonValue root = document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
    const QByteArray out = write(mutator.mutate(root));
    if (size_t(out.size()) > maxSize)
        return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, out.constData(), size_t(out.size()));
    return size_t(out.size());
}

}  // namespace harkwell::fuzz
