#pragma once
// Reading a file that has to be a plain file. A FIFO, socket or device put where a note is expected
// is refused at once instead of blocking the reader until some writer turns up, and a reader that
// needs only the start of a file does not pull in the rest.

#include "platform/files/AtomicFile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <expected>

namespace harkwell {

class RegularFile {
public:
    RegularFile() = delete;

    // The whole file.
    static std::expected<QByteArray, FileError> read(const QString& path);

    // The file's bytes up to and including the first `marker`, or the whole file when it is shorter
    // than `limit` and holds no marker; a longer file without one is read to `limit` only.
    static std::expected<QByteArray, FileError> readThrough(const QString& path, QByteArrayView marker,
                                                            qsizetype limit);
};

}  // namespace harkwell
