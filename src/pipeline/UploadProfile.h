#pragma once
// What an inbox capture is uploaded as: its content source, its tags and the metadata that goes
// with it. A meeting recording is described by its recorder fields; everything else is a voice memo.

#include "foundation/InboxFrontmatter.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

namespace harkwell {

struct UploadProfile {
    QString contentSource;
    QStringList tags;
    QMap<QString, QString> sourceMetadata;

    // `note` is the capture's note, or nothing when it cannot be read.
    static UploadProfile forCapture(const QString& id, const std::optional<InboxFrontmatter>& note);
    // A new watched-folder capture, whatever its folder's classification.
    static UploadProfile voiceMemo(const QString& id);

    friend bool operator==(const UploadProfile&, const UploadProfile&) = default;
};

}  // namespace harkwell
