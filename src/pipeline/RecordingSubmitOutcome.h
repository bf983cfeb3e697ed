#pragma once
// What handing a finished recording to the inbox achieved: under which id each part now stands in
// the vault, which of those were there already, and what happens about transcription.

#include <QList>
#include <QSet>
#include <QString>

#include <optional>

namespace harkwell {

struct RecordingSubmitOutcome {
    enum class Upload {
        Nothing,    // the inbox could not be created; nothing was written
        Uploading,  // one upload was started for each part still to be transcribed (maybe none)
        UploadOff,  // uploading is switched off in the settings
        NotPaired,  // uploading is on, but there is no device token
    };

    // One entry per part, in part order; absent where the part could not be handed over.
    QList<std::optional<QString>> partIds;
    // The ids among partIds that stood in the vault before this hand-over.
    QSet<QString> reused;
    Upload upload = Upload::Nothing;

    friend bool operator==(const RecordingSubmitOutcome&, const RecordingSubmitOutcome&) = default;
};

}  // namespace harkwell
