#pragma once
// One listed file of the vault or a further folder: what the menu's day lists, its inbox, outbox
// and handoff sections and the search results show, and what the scan cache keeps.

#include "foundation/DecodeError.h"
#include "foundation/FileLocation.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <expected>
#include <optional>

namespace harkwell {

struct FileEntry {
    enum class Source { Vault, Workspace, Outbox, Inbox, Handoff };

    QUuid id;
    QString filename;
    QString relativePath;  // relative to the folder it was listed under
    QString parentFolder;  // last folder of relativePath; empty at the top level
    QDateTime creationDate;
    QDateTime modificationDate;
    qint64 size = 0;
    FileLocation fullPath;  // the file, read as a file URL
    Source source = Source::Vault;
    std::optional<QDateTime> filenameDate;
    std::optional<QString> domain;
    std::optional<QString> fileType;

    // Dates as seconds since 2001-01-01 UTC, the id in upper-case canonical form, the path as
    // the URL's percent-encoded text; unset optional keys are left out.
    QJsonObject toJson() const;
    static std::expected<FileEntry, DecodeError> fromJson(const QJsonObject& object);
    static QJsonArray toJson(const QList<FileEntry>& entries);
    // Fails whole when any entry fails.
    static std::expected<QList<FileEntry>, DecodeError> fromJson(const QJsonArray& array);
    // What the listings write: a local file's URL with a plain absolute path. Anything else would
    // have the menu open, reveal or trash a file that no listing found, one a ".." takes out of
    // its folder.
    static bool isListedFileUrl(const QUrl& url);

    friend bool operator==(const FileEntry&, const FileEntry&) = default;
    // Ordered by creation date alone: two entries of one instant are neither less nor greater.
    friend bool operator<(const FileEntry& a, const FileEntry& b) { return a.creationDate < b.creationDate; }
    friend bool operator>(const FileEntry& a, const FileEntry& b) { return b < a; }
    friend bool operator<=(const FileEntry& a, const FileEntry& b) { return !(b < a); }
    friend bool operator>=(const FileEntry& a, const FileEntry& b) { return !(a < b); }
};

QString toRawValue(FileEntry::Source source);
std::optional<FileEntry::Source> fileSourceFromRaw(const QString& raw);

}  // namespace harkwell
