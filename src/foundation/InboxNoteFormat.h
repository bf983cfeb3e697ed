#pragma once
// The text of an inbox note: a "---" line, the frontmatter keys, "---", an empty line, the body.
// A small fixed subset of YAML written and read line by line. The reader understands exactly
// what the renderer writes and tolerates a few variations (other indentation outside the source
// block, quoted or bare values, unknown keys); it never fails on a line it does not understand.

#include "foundation/InboxError.h"
#include "foundation/InboxFrontmatter.h"

#include <QString>
#include <QStringList>

#include <expected>

namespace harkwell {

class InboxNoteFormat {
public:
    // The whole note. Every value is kept on its one line: line breaks in it become blanks.
    static QString render(const InboxFrontmatter& frontmatter, const QString& body);

    // Missing or unusable keys keep the defaults; "created" falls back to the time of reading. Only
    // a regular file is read, and only as far as its frontmatter.
    static std::expected<InboxFrontmatter, InboxError> readFrontmatter(const QString& path);
    static std::expected<InboxFrontmatter, InboxError> parseFrontmatter(const QString& text);
    // The text after the frontmatter block, without its leading line breaks.
    static std::expected<QString, InboxError> readBody(const QString& path);
    static QString parseBody(const QString& text);

    // A value as the quoted fields write it: bare, or in double quotes with backslashes and
    // quotes escaped when a YAML reader would otherwise take it for something else.
    static QString yamlString(const QString& value);
    static QString unquote(const QString& raw);
    static QStringList parseInlineList(const QString& raw);

    static const QStringList& yamlReservedWords();

    // The most of a note read for its keys: a note whose frontmatter runs on past it has none.
    static constexpr qsizetype kFrontmatterLimit = 1 << 20;

private:
    static std::expected<QString, InboxError> readText(const QString& path);
    static std::expected<QString, InboxError> decodeText(const QString& path, const QByteArray& bytes);
};

}  // namespace harkwell
