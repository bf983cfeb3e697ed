#include "foundation/OutboxManager.h"

#include <QFile>
#include <QStringDecoder>

namespace harkwell {

namespace {

bool isNewline(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

QString trimBlanksAndTabs(QStringView text)
{
    qsizetype start = 0;
    qsizetype end = text.size();
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (start < end && blank(text[start]))
        ++start;
    while (end > start && blank(text[end - 1]))
        --end;
    return text.sliced(start, end - start).toString();
}

}  // namespace

QMap<QString, QString> OutboxManager::manifestFields(const QString& folder)
{
    QMap<QString, QString> fields;
    QFile file(folder + QStringLiteral("/_manifest.md"));
    if (!file.open(QIODevice::ReadOnly))
        return fields;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(file.readAll());
    if (decoder.hasError())
        return fields;

    qsizetype lineStart = 0;
    for (qsizetype index = 0; index <= text.size(); ++index) {
        if (index < text.size() && !isNewline(text[index]))
            continue;
        const QStringView line = QStringView(text).sliced(lineStart, index - lineStart);
        lineStart = index + 1;
        if (!line.startsWith(QLatin1String("**")))
            continue;
        const qsizetype close = line.indexOf(QLatin1String(":**"));
        if (close < 0)
            continue;
        const QString key = line.sliced(2, close - 2).toString();
        const QString value = trimBlanksAndTabs(line.sliced(close + 3));
        if (key.isEmpty() || value.isEmpty() || fields.contains(key))
            continue;
        fields.insert(key, value);
    }
    return fields;
}

}  // namespace harkwell
