#pragma once
// A warning about the running recording, shown in the menu and the recorder panel. Identified by
// its text: the same text is never listed twice.

#include <QString>

namespace harkwell {

struct RecordingWarning {
    enum class Kind { SystemAudio, MicrophoneAccess, MicrophoneSilent, Power, Note, SpeakerEcho };

    Kind kind = Kind::Note;
    QString text;

    const QString& id() const { return text; }
    friend bool operator==(const RecordingWarning&, const RecordingWarning&) = default;
};

}  // namespace harkwell
