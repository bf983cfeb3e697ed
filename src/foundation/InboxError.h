#pragma once
// Why an inbox note or audio copy could not be read or written.

#include <QString>

namespace harkwell {

struct InboxError {
    enum class Kind {
        File,           // the file system's refusal: missing, no permission, no space, not UTF-8
        NoFrontmatter,  // the note does not open with a "---" block that is closed again
        InvalidId,      // the id cannot name a file inside the inbox
        SourceChanged,  // the file being copied was written to or replaced meanwhile
        SourceUnreadable,  // the file to be copied cannot be opened or read, or is no regular file
    };
    Kind kind = Kind::File;
    QString text;  // user-facing

    // The note reader's own failure keeps the text the rest of the system knows it by.
    static constexpr char kNoFrontmatterText[] = "no frontmatter block";
};

}  // namespace harkwell
