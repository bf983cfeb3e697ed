#pragma once
// File names as the file system holds them: bytes, which need not be valid UTF-8. Text for the
// screen may lose such bytes; a file's URL and its native path never do, so a file listed under
// an odd name can still be opened, moved and read.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QUrl>

namespace harkwell {

class FileNames {
public:
    // For showing and matching: UTF-8, an undecodable byte as U+FFFD.
    static QString display(QByteArrayView native);
    // A file URL that keeps every byte of `native` (an absolute path).
    static QUrl fileUrl(const QByteArray& native);
    // The bytes of a file URL's path, as they were listed; a path given as text is encoded as UTF-8.
    static QByteArray nativePath(const QUrl& url);
    static bool isValidUtf8(QByteArrayView bytes);

    // Text that keeps every byte of a name or path, for code that carries paths as text: valid
    // UTF-8 reads as itself, and each byte of a sequence that does not decode becomes the lone
    // surrogate U+DC80 + byte, which no decoded text holds. So no two byte strings share a text,
    // and native() gives the bytes back.
    static QString text(const QByteArray& native);
    // The bytes of text() again; any other text encodes as UTF-8.
    static QByteArray native(const QString& text);
};

}  // namespace harkwell
