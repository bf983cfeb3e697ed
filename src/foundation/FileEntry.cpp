#include "foundation/FileEntry.h"

#include "foundation/DateForms.h"
#include "foundation/JsonFields.h"

#include <QDir>

namespace harkwell {

namespace {

constexpr std::pair<FileEntry::Source, const char*> kSources[] = {
    {FileEntry::Source::Vault, "vault"},     {FileEntry::Source::Workspace, "workspace"},
    {FileEntry::Source::Outbox, "outbox"},   {FileEntry::Source::Inbox, "inbox"},
    {FileEntry::Source::Handoff, "handoff"},
};

std::optional<QDateTime> optionalDate(JsonFields& fields, const QString& key)
{
    const auto seconds = fields.optionalNumber(key);
    return seconds ? std::optional(DateForms::fromReferenceSeconds(*seconds)) : std::nullopt;
}

}  // namespace

bool FileEntry::isListedFileUrl(const QUrl& url)
{
    if (!url.isLocalFile() || !url.host().isEmpty() || url.hasQuery() || url.hasFragment())
        return false;
    const QString path = url.path(QUrl::FullyDecoded);
    return path.startsWith(QLatin1Char('/')) && QDir::cleanPath(path) == path;
}

QString toRawValue(FileEntry::Source source)
{
    for (const auto& [candidate, raw] : kSources)
        if (candidate == source)
            return QString::fromLatin1(raw);
    return {};
}

std::optional<FileEntry::Source> fileSourceFromRaw(const QString& raw)
{
    for (const auto& [candidate, text] : kSources)
        if (raw == QLatin1String(text))
            return candidate;
    return std::nullopt;
}

QJsonObject FileEntry::toJson() const
{
    QJsonObject object{
        {QStringLiteral("id"), id.toString(QUuid::WithoutBraces).toUpper()},
        {QStringLiteral("filename"), filename},
        {QStringLiteral("relativePath"), relativePath},
        {QStringLiteral("parentFolder"), parentFolder},
        {QStringLiteral("creationDate"), DateForms::referenceSeconds(creationDate)},
        {QStringLiteral("modificationDate"), DateForms::referenceSeconds(modificationDate)},
        {QStringLiteral("size"), size},
        {QStringLiteral("fullPath"), fullPath.toString(QUrl::FullyEncoded)},
        {QStringLiteral("source"), toRawValue(source)},
    };
    if (filenameDate)
        object.insert(QStringLiteral("filenameDate"), DateForms::referenceSeconds(*filenameDate));
    if (domain)
        object.insert(QStringLiteral("domain"), *domain);
    if (fileType)
        object.insert(QStringLiteral("fileType"), *fileType);
    return object;
}

std::expected<FileEntry, DecodeError> FileEntry::fromJson(const QJsonObject& object)
{
    JsonFields fields(object);
    FileEntry entry;
    const QString id = fields.string(QStringLiteral("id"));
    entry.filename = fields.string(QStringLiteral("filename"));
    entry.relativePath = fields.string(QStringLiteral("relativePath"));
    entry.parentFolder = fields.string(QStringLiteral("parentFolder"));
    entry.creationDate = DateForms::fromReferenceSeconds(fields.number(QStringLiteral("creationDate")));
    entry.modificationDate = DateForms::fromReferenceSeconds(fields.number(QStringLiteral("modificationDate")));
    entry.size = fields.integer64(QStringLiteral("size"));
    const QString fullPath = fields.string(QStringLiteral("fullPath"));
    const QString source = fields.string(QStringLiteral("source"));
    entry.filenameDate = optionalDate(fields, QStringLiteral("filenameDate"));
    entry.domain = fields.optionalString(QStringLiteral("domain"));
    entry.fileType = fields.optionalString(QStringLiteral("fileType"));
    if (fields.ok()) {
        entry.id = QUuid::fromString(id);
        if (entry.id.isNull() && id != QLatin1String("00000000-0000-0000-0000-000000000000"))
            fields.fail(QStringLiteral("id"), QStringLiteral("not a UUID"));
        const QUrl url(fullPath, QUrl::StrictMode);
        if (fullPath.isEmpty() || !url.isValid())
            fields.fail(QStringLiteral("fullPath"), QStringLiteral("not a URL"));
        else if (!isListedFileUrl(url))
            fields.fail(QStringLiteral("fullPath"), QStringLiteral("not a local file's plain path"));
        entry.fullPath = FileLocation::below(url, entry.relativePath);
        if (const auto parsed = fileSourceFromRaw(source))
            entry.source = *parsed;
        else
            fields.fail(QStringLiteral("source"), QStringLiteral("unknown value \"%1\"").arg(source));
    }
    if (!fields.ok())
        return std::unexpected(*fields.error());
    return entry;
}

QJsonArray FileEntry::toJson(const QList<FileEntry>& entries)
{
    QJsonArray array;
    for (const FileEntry& entry : entries)
        array.append(entry.toJson());
    return array;
}

std::expected<QList<FileEntry>, DecodeError> FileEntry::fromJson(const QJsonArray& array)
{
    QList<FileEntry> entries;
    entries.reserve(array.size());
    for (qsizetype index = 0; index < array.size(); ++index) {
        if (!array.at(index).isObject())
            return std::unexpected(DecodeError{QStringLiteral("[%1]: expected an object").arg(index)});
        auto entry = fromJson(array.at(index).toObject());
        if (!entry)
            return std::unexpected(DecodeError{QStringLiteral("[%1].%2").arg(index).arg(entry.error().text)});
        // One listing's files share the text of the folder they were listed under.
        if (!entries.isEmpty())
            entry->fullPath.shareBase(entries.constLast().fullPath);
        entries.append(std::move(*entry));
    }
    return entries;
}

}  // namespace harkwell
