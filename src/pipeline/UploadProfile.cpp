#include "pipeline/UploadProfile.h"

#include "foundation/DateForms.h"

namespace harkwell {

UploadProfile UploadProfile::voiceMemo(const QString& id)
{
    return {QStringLiteral("voice_memo"),
            {QStringLiteral("voice-memo"), QStringLiteral("harkwell-mac")},
            {{QStringLiteral("harkwell_id"), id}}};
}

UploadProfile UploadProfile::forCapture(const QString& id, const std::optional<InboxFrontmatter>& note)
{
    if (!note || note->classification != QLatin1String("meeting_recording"))
        return voiceMemo(id);

    const QString microphone = note->recorderMicrophone.value_or(QStringLiteral("off"));
    const QString layout = note->recorderChannelLayout.value_or(
        microphone == QLatin1String("off") ? QStringLiteral("L=system-left,R=system-right")
                                           : QStringLiteral("L=microphone,R=system"));
    return {QStringLiteral("meeting"),
            {QStringLiteral("meeting"), QStringLiteral("harkwell-mac")},
            {{QStringLiteral("harkwell_id"), id},
             {QStringLiteral("recorder_source"), note->recorderSource.value_or(QStringLiteral("All audio"))},
             {QStringLiteral("microphone"), microphone},
             {QStringLiteral("channel_layout"), layout},
             {QStringLiteral("meeting_started_at"), DateForms::internetDateTime(note->created)}}};
}

}  // namespace harkwell
