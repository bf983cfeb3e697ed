#pragma once
// Moves a file or folder to a new path without ever replacing what is there: one rename that
// refuses an existing destination, or, across file systems, a copy made beside the destination and
// put in place whole (also without replacing), then the source removed.

#include "platform/files/AtomicFile.h"

#include <QString>

#include <expected>

namespace harkwell {

class ItemMove {
public:
    // The error's text is the system's reason alone ("File exists"), for the caller to place.
    static std::expected<void, FileError> move(const QString& source, const QString& destination);
};

}  // namespace harkwell
