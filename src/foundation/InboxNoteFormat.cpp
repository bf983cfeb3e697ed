#include "foundation/InboxNoteFormat.h"

#include "foundation/DateForms.h"
#include "platform/files/RegularFile.h"

#include <QRegularExpression>
#include <QStringDecoder>

#include <cmath>

namespace harkwell {

namespace {

// The characters a YAML reader ends a line at; a value holding one would split its line and
// could smuggle in keys of its own.
bool isYamlLineBreak(QChar c)
{
    const char16_t u = c.unicode();
    return u == u'\n' || u == u'\r' || u == 0x85 || u == 0x2028 || u == 0x2029;
}

// Controls a YAML reader refuses anywhere in a document (tab is allowed).
bool isYamlUnprintable(QChar c)
{
    const char16_t u = c.unicode();
    return (u < 0x20 && u != u'\t') || u == 0x7F || (u >= 0x80 && u <= 0x9F) || u == 0xFFFE || u == 0xFFFF;
}

// The value as it can stand on its one line of a UTF-8 file: line breaks and controls become
// blanks, and a lone surrogate (which UTF-8 cannot hold) the replacement character.
QString oneLine(QString value)
{
    for (qsizetype i = 0; i < value.size(); ++i) {
        QChar& c = value[i];
        if (isYamlLineBreak(c) || isYamlUnprintable(c)) {
            c = QLatin1Char(' ');
        } else if (c.isHighSurrogate() && i + 1 < value.size() && value[i + 1].isLowSurrogate()) {
            ++i;
        } else if (c.isSurrogate()) {
            c = QChar(QChar::ReplacementCharacter);
        }
    }
    return value;
}

bool holdsFlowIndicator(const QString& value)
{
    return std::any_of(value.begin(), value.end(), [](QChar c) {
        return c == QLatin1Char('[') || c == QLatin1Char(']') || c == QLatin1Char('{') || c == QLatin1Char('}');
    });
}

QString doubleQuoted(QString value)
{
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + value + QLatin1Char('"');
}

// Characters that make a YAML reader see a list, a mapping, an alias, a tag, a block scalar or
// an error instead of plain text when they open a value.
bool opensWithIndicator(const QString& value)
{
    static const QString kIndicators = QStringLiteral("[]{}-*&!|>%@`'?,");
    return !value.isEmpty() && kIndicators.contains(value.front());
}

// White space of any kind at either end: a YAML reader drops blanks and tabs there, and other
// spaces are kept in quotes so that no reader can differ about them.
bool hasSpaceAtAnEnd(const QString& value)
{
    const auto isSpace = [](QChar c) { return c.isSpace() || c == QChar(QChar::ByteOrderMark); };
    return !value.isEmpty() && (isSpace(value.front()) || isSpace(value.back()));
}

// Plain text a YAML reader resolves to something other than text: a number in any of the forms
// of YAML 1.1 and 1.2 (underscores, sexagesimal, octal, hexadecimal, binary, .inf, .nan), a date,
// the merge key "<<" or the value key "=". The booleans and nulls are the reserved words.
bool resolvesToOtherThanText(const QString& value)
{
    static const QRegularExpression kNumberOrDate(QStringLiteral(
        "^(?:[-+]?(?:[0-9][0-9_]*(?::[0-5]?[0-9])*(?:\\.[0-9_]*)?|\\.[0-9_]+)(?:[eE][-+]?[0-9]+)?"
        "|[-+]?0[xXoObB][0-9a-fA-F_]+"
        "|[-+]?\\.(?:inf|Inf|INF)|\\.(?:nan|NaN|NAN)"
        "|[0-9]{4}-[0-9]{1,2}-[0-9]{1,2})$"));
    return value == QLatin1String("<<") || value == QLatin1String("=") || kNumberOrDate.match(value).hasMatch();
}

// A value (already on one line) that a YAML reader would not give back as this exact text when
// written bare. A tab anywhere ends a plain value for the reader.
bool needsQuotes(const QString& value)
{
    return value.isEmpty() || value.contains(QLatin1Char(':')) || value.contains(QLatin1Char('#'))
           || value.contains(QLatin1Char('"')) || value.contains(QLatin1Char('\t')) || hasSpaceAtAnEnd(value)
           || InboxNoteFormat::yamlReservedWords().contains(value.toLower()) || opensWithIndicator(value)
           || resolvesToOtherThanText(value);
}

// What a YAML reader takes for white space around a value: blanks and tabs, nothing else.
bool isHorizontalSpace(QChar c) { return c == QLatin1Char('\t') || c == QLatin1Char(' '); }

QString trimHorizontal(QStringView text)
{
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && isHorizontalSpace(text[start]))
        ++start;
    while (end > start && isHorizontalSpace(text[end - 1]))
        --end;
    return text.sliced(start, end - start).toString();
}

bool isBodyLeadingBreak(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

std::optional<QString> nonEmpty(const QString& value) { return value.isEmpty() ? std::nullopt : std::optional(value); }

std::optional<int> decimalInteger(const QString& value)
{
    static const QRegularExpression form(QStringLiteral("^[+-]?[0-9]+$"));
    if (!form.match(value).hasMatch())
        return std::nullopt;
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok ? std::optional(number) : std::nullopt;
}

// The text between the opening "---" and the first line that starts with "---" after it.
std::optional<QString> extractFrontmatter(const QString& text)
{
    if (!text.startsWith(QLatin1String("---")))
        return std::nullopt;
    const qsizetype close = text.indexOf(QLatin1String("\n---"), 3);
    if (close < 0)
        return std::nullopt;
    return text.sliced(3, close - 3).trimmed();
}

void applyTopLevel(InboxFrontmatter& record, const QString& key, const QString& raw, const QString& value)
{
    if (key == QLatin1String("id"))
        record.id = value;
    else if (key == QLatin1String("classification"))
        record.classification = value;
    else if (key == QLatin1String("status"))
        record.status = value;
    else if (key == QLatin1String("confidence"))
        record.confidence = value;
    else if (key == QLatin1String("created")) {
        if (const auto date = DateForms::parseInternetDateTime(value))
            record.created = *date;
    } else if (key == QLatin1String("target_skill"))
        record.targetSkill = nonEmpty(value);
    else if (key == QLatin1String("target_folder"))
        record.targetFolder = nonEmpty(value);
    else if (key == QLatin1String("title"))
        record.title = nonEmpty(value);
    else if (key == QLatin1String("processed_by"))
        record.processedBy = nonEmpty(value);
    else if (key == QLatin1String("output_file"))
        record.outputFile = nonEmpty(value);
    else if (key == QLatin1String("archived_to"))
        record.archivedTo = nonEmpty(value);
    else if (key == QLatin1String("processed_at"))
        record.processedAt = DateForms::parseInternetDateTime(value);
    else if (key == QLatin1String("tags"))
        record.tags = InboxNoteFormat::parseInlineList(raw);
}

void applySource(InboxFrontmatter& record, const QString& key, const QString& value)
{
    if (key == QLatin1String("type"))
        record.sourceType = value;
    else if (key == QLatin1String("origin"))
        record.sourceOrigin = value;
    else if (key == QLatin1String("audio_path"))
        record.audioPath = value;
    else if (key == QLatin1String("ingestion_tool"))
        record.ingestionTool = value;
    else if (key == QLatin1String("audio_duration_sec"))
        record.audioDurationSec = decimalInteger(value);
    else if (key == QLatin1String("external_id"))
        record.externalId = nonEmpty(value);
    else if (key == QLatin1String("mirelon_job_status"))
        record.mirelonJobStatus = nonEmpty(value);
    else if (key == QLatin1String("app"))
        record.recorderSource = nonEmpty(value);
    else if (key == QLatin1String("microphone"))
        record.recorderMicrophone = nonEmpty(value);
    else if (key == QLatin1String("channel_layout"))
        record.recorderChannelLayout = nonEmpty(value);
    else if (key == QLatin1String("lost_audio_sec")) {
        bool ok = false;
        const double seconds = value.toDouble(&ok);
        record.recorderLostSeconds = ok && std::isfinite(seconds) ? std::optional(seconds) : std::nullopt;
    }
    else if (key == QLatin1String("uploaded_at"))
        record.uploadedAt = DateForms::parseInternetDateTime(value);
    else if (key == QLatin1String("after_transcript_at"))
        record.afterTranscriptAt = DateForms::parseInternetDateTime(value);
}

}  // namespace

const QStringList& InboxNoteFormat::yamlReservedWords()
{
    static const QStringList words{QStringLiteral("y"),    QStringLiteral("n"),     QStringLiteral("yes"),
                                   QStringLiteral("no"),   QStringLiteral("on"),    QStringLiteral("off"),
                                   QStringLiteral("true"), QStringLiteral("false"), QStringLiteral("null"),
                                   QStringLiteral("~")};
    return words;
}

QString InboxNoteFormat::yamlString(const QString& raw)
{
    const QString value = oneLine(raw);
    return needsQuotes(value) ? doubleQuoted(value) : value;
}

QString InboxNoteFormat::unquote(const QString& raw)
{
    if (raw.size() >= 2 && raw.startsWith(QLatin1Char('"')) && raw.endsWith(QLatin1Char('"'))) {
        QString inner = raw.sliced(1, raw.size() - 2);
        inner.replace(QLatin1String("\\\""), QLatin1String("\""));
        inner.replace(QLatin1String("\\\\"), QLatin1String("\\"));
        return inner;
    }
    if (raw == QLatin1String("null") || raw == QLatin1String("~"))
        return {};
    return raw;
}

QStringList InboxNoteFormat::parseInlineList(const QString& raw)
{
    if (!raw.startsWith(QLatin1Char('[')) || !raw.endsWith(QLatin1Char(']')) || raw.size() < 2)
        return {};
    QStringList items;
    for (const QString& piece : raw.sliced(1, raw.size() - 2).split(QLatin1Char(','))) {
        const QString item = unquote(trimHorizontal(piece));
        if (!item.isEmpty())
            items.append(item);
    }
    return items;
}

QString InboxNoteFormat::render(const InboxFrontmatter& f, const QString& body)
{
    QStringList lines;
    // Every text goes through the one quoting rule, the service's status text and the pipeline's
    // fields as much as the user's: "processing: 50%" or "null" must read back as that text.
    auto quoted = [&](const char* prefix, const QString& value) { lines.append(QLatin1String(prefix) + yamlString(value)); };
    auto date = [&](const char* prefix, const QDateTime& value) {
        lines.append(QLatin1String(prefix) + DateForms::internetDateTime(value));
    };

    lines.append(QStringLiteral("---"));
    quoted("id: ", f.id);
    date("created: ", f.created);
    quoted("classification: ", f.classification);
    quoted("status: ", f.status);
    quoted("confidence: ", f.confidence);
    lines.append(QStringLiteral("source:"));
    quoted("  type: ", f.sourceType);
    quoted("  origin: ", f.sourceOrigin);
    quoted("  audio_path: ", f.audioPath);
    if (f.audioDurationSec)
        lines.append(QStringLiteral("  audio_duration_sec: %1").arg(*f.audioDurationSec));
    quoted("  ingestion_tool: ", f.ingestionTool);
    if (f.externalId)
        quoted("  external_id: ", *f.externalId);
    if (f.mirelonJobStatus)
        quoted("  mirelon_job_status: ", *f.mirelonJobStatus);
    if (f.uploadedAt)
        date("  uploaded_at: ", *f.uploadedAt);
    if (f.afterTranscriptAt)
        date("  after_transcript_at: ", *f.afterTranscriptAt);
    if (f.recorderSource)
        quoted("  app: ", *f.recorderSource);
    if (f.recorderMicrophone)
        quoted("  microphone: ", *f.recorderMicrophone);
    if (f.recorderChannelLayout)
        quoted("  channel_layout: ", *f.recorderChannelLayout);
    if (f.recorderLostSeconds)
        lines.append(QStringLiteral("  lost_audio_sec: %1").arg(QString::number(*f.recorderLostSeconds, 'f', 1)));
    // Absent is written as empty: left out, the key would read back as its default "/transcript".
    quoted("target_skill: ", f.targetSkill.value_or(QString()));
    if (f.targetFolder)
        quoted("target_folder: ", *f.targetFolder);
    if (f.title)
        quoted("title: ", *f.title);
    if (!f.tags.isEmpty()) {
        QStringList tags;
        for (const QString& tag : f.tags) {
            // Inside the flow list a bracket or brace anywhere would end or open a collection.
            const QString value = oneLine(tag);
            tags.append(needsQuotes(value) || holdsFlowIndicator(value) ? doubleQuoted(value) : value);
        }
        lines.append(QStringLiteral("tags: [") + tags.join(QStringLiteral(", ")) + QLatin1Char(']'));
    }
    if (f.processedAt)
        date("processed_at: ", *f.processedAt);
    if (f.processedBy)
        quoted("processed_by: ", *f.processedBy);
    if (f.outputFile)
        quoted("output_file: ", *f.outputFile);
    if (f.archivedTo)
        quoted("archived_to: ", *f.archivedTo);
    lines.append(QStringLiteral("---"));
    lines.append(QString());
    lines.append(body);
    return lines.join(QLatin1Char('\n'));
}

std::expected<InboxFrontmatter, InboxError> InboxNoteFormat::parseFrontmatter(const QString& text)
{
    const auto block = extractFrontmatter(text);
    if (!block)
        return std::unexpected(InboxError{InboxError::Kind::NoFrontmatter, QString::fromLatin1(InboxError::kNoFrontmatterText)});

    InboxFrontmatter record;
    record.created = QDateTime::currentDateTimeUtc();
    bool inSource = false;
    for (const QString& line : block->split(QLatin1Char('\n'))) {
        if (line.isEmpty())
            continue;
        const bool indented = line.startsWith(QLatin1String("  "));
        const QString trimmed = trimHorizontal(line);
        const qsizetype colon = trimmed.indexOf(QLatin1Char(':'));
        if (colon < 0) {
            inSource = inSource && indented;
            continue;
        }
        const QString key = trimHorizontal(QStringView(trimmed).first(colon));
        const QString raw = trimHorizontal(QStringView(trimmed).sliced(colon + 1));
        const QString value = unquote(raw);
        if (!indented && key == QLatin1String("source")) {
            inSource = true;
        } else if (indented && inSource) {
            applySource(record, key, value);
        } else {
            applyTopLevel(record, key, raw, value);
            inSource = false;
        }
    }
    return record;
}

QString InboxNoteFormat::parseBody(const QString& text)
{
    if (text.size() < 4)
        return text;
    // A note that opens with "---" ends its block where the frontmatter reader does, even when the
    // block is empty ("---\n---"); any other text is searched from after a first "---" line.
    const qsizetype close = text.indexOf(QLatin1String("\n---"), text.startsWith(QLatin1String("---")) ? 3 : 4);
    if (close < 0)
        return text;
    qsizetype start = close + 4;
    while (start < text.size() && isBodyLeadingBreak(text[start]))
        ++start;
    return text.sliced(start);
}

std::expected<QString, InboxError> InboxNoteFormat::decodeText(const QString& path, const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::unexpected(InboxError{InboxError::Kind::File, QStringLiteral("%1 is not UTF-8 text").arg(path)});
    return text;
}

std::expected<QString, InboxError> InboxNoteFormat::readText(const QString& path)
{
    const auto bytes = RegularFile::read(path);
    if (!bytes)
        return std::unexpected(InboxError{InboxError::Kind::File, bytes.error().text});
    return decodeText(path, *bytes);
}

std::expected<InboxFrontmatter, InboxError> InboxNoteFormat::readFrontmatter(const QString& path)
{
    // The keys end at the first line that starts with "---"; the body after it, however long, is
    // not read.
    const auto head = RegularFile::readThrough(path, "\n---", kFrontmatterLimit);
    if (!head)
        return std::unexpected(InboxError{InboxError::Kind::File, head.error().text});
    if (head->size() >= kFrontmatterLimit && !head->endsWith("\n---"))
        return std::unexpected(InboxError{InboxError::Kind::NoFrontmatter, QString::fromLatin1(InboxError::kNoFrontmatterText)});
    const auto text = decodeText(path, *head);
    if (!text)
        return std::unexpected(text.error());
    return parseFrontmatter(*text);
}

std::expected<QString, InboxError> InboxNoteFormat::readBody(const QString& path)
{
    const auto text = readText(path);
    if (!text)
        return std::unexpected(text.error());
    return parseBody(*text);
}

}  // namespace harkwell
