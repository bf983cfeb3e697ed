#pragma once
// Places captures into the vault's inbox: its folders, the audio copies in _inbox/.audio/ and the
// notes _inbox/<id>.md, and the job-status rewrite of an existing note. A plain value made from
// the vault's root whenever it is needed; blocking file work on the caller's thread.

#include "foundation/InboxError.h"
#include "foundation/InboxFrontmatter.h"
#include "foundation/InboxNoteFormat.h"
#include "platform/filesystem/FileSystem.h"

#include <QString>

#include <expected>
#include <optional>

namespace harkwell {

class InboxWriter {
public:
    using Frontmatter = InboxFrontmatter;

    explicit InboxWriter(QString vaultRoot) : m_vaultRoot(std::move(vaultRoot)) {}
    const QString& vaultRoot() const { return m_vaultRoot; }

    QString inboxFolder() const;
    QString audioFolder() const;
    // Both refuse an id that is not a plain file name (see isSafeId) with an InvalidId error.
    std::expected<QString, InboxError> notePath(const QString& id) const;
    std::expected<QString, InboxError> audioCopyPath(const QString& id) const;

    // An id names a note and an audio copy inside the inbox only when it is not empty, holds no
    // "/", NUL or "..", and does not begin with "." (which would also hide it).
    static bool isSafeId(const QString& id);

    std::expected<void, InboxError> ensureDirectories() const;
    // Puts _inbox/.audio/<id>.m4a in place (the bytes unchanged, whatever the source's extension)
    // and returns its path. An existing copy is kept as it is. The copy is written under a
    // temporary name, synced and renamed, so the final name never holds a truncated file. Only a
    // regular file is copied (a symbolic link or a FIFO is refused); the source path is text as
    // FileNames::text() makes it. A source that is written to or replaced while it is copied, or
    // that is no longer the file `expected` describes, leaves nothing behind (SourceChanged).
    std::expected<QString, InboxError> copyAudio(const QString& sourcePath, const QString& id,
                                                 const std::optional<FileStat>& expected = std::nullopt) const;
    // The id whose copy a file of the audio folder was on its way to become, when the name is that
    // of copyAudio's temporary (".<id>.m4a.XXXXXX"); such a file outlives only a crashed copy.
    static std::optional<QString> temporaryCopyId(const QString& fileName);
    // The same for a note's temporary in the inbox folder (".<id>.md.XXXXXX").
    static std::optional<QString> temporaryNoteId(const QString& fileName);
    // Writes the note named by the record's id, atomically; creates no folder.
    std::expected<void, InboxError> writeMarkdown(const Frontmatter& frontmatter, const QString& body) const;
    // Sets the job status of the note _inbox/<id>.md and writes it back to that same file. A note
    // that is missing or cannot be read is left alone without an error; an unchanged status
    // leaves the file untouched.
    std::expected<void, InboxError> updateMirelonJobStatus(const QString& id, const QString& status) const;

    static QString renderMarkdown(const Frontmatter& frontmatter, const QString& body)
    {
        return InboxNoteFormat::render(frontmatter, body);
    }
    static std::expected<Frontmatter, InboxError> readFrontmatter(const QString& path)
    {
        return InboxNoteFormat::readFrontmatter(path);
    }
    static std::expected<QString, InboxError> readBody(const QString& path) { return InboxNoteFormat::readBody(path); }

    static QString audioRelativePath(const QString& id) { return QStringLiteral("_inbox/.audio/") + id + QStringLiteral(".m4a"); }
    // A new capture's note: the record's defaults, with its time, kind, origin and audio copy.
    static InboxFrontmatter stubNote(const QString& id, const QDateTime& created, const QString& classification,
                                     const QString& sourceOrigin)
    {
        InboxFrontmatter note;
        note.id = id;
        note.created = created;
        note.classification = classification;
        note.sourceOrigin = sourceOrigin;
        note.audioPath = audioRelativePath(id);
        return note;
    }

private:
    static std::optional<QString> temporaryId(const QString& fileName, const QString& middle);
    std::expected<void, InboxError> writeNote(const QString& path, const Frontmatter& frontmatter, const QString& body) const;

    QString m_vaultRoot;
};

}  // namespace harkwell
