#pragma once
// Turns a finished recording's segment files into AAC parts in its work folder: 48 kHz stereo at
// 128 kbit/s, each part short enough for one upload. A recording longer than a part is cut in the
// middle of the quietest second of the last minute before the cap. Streams through fixed buffers;
// blocking file work, run off the main thread.

#include "foundation/RecordingTypes.h"
#include "recording/EncodeError.h"

#include <QString>
#include <QStringList>

#include <expected>

namespace harkwell {

class RecordingEncoder {
public:
    RecordingEncoder() = delete;

    static constexpr int kSampleRate = 48'000;
    static constexpr int kChannels = 2;
    static constexpr int kBitRate = 128'000;
    static constexpr qint64 kBufferFrames = 32'768;

    // How long a part may grow, and the stretch before that cap in which its cut is sought.
    struct Limits {
        qint64 partFrames = 0;
        qint64 windowFrames = 0;
        // 200 MiB at 128 kbit/s plus a tenth for the container (3 h 18 min 35.6 s at 48 kHz), and
        // the minute before it.
        static Limits forRate(int sampleRate);
        friend bool operator==(const Limits&, const Limits&) = default;
    };

    // The paths of the parts written, in order, never empty. Old parts of the recording are
    // removed first; segments and recording.json are never touched.
    static std::expected<QStringList, EncodeError> encode(const QString& workFolder, const RecordingSidecar& sidecar,
                                                          Limits limits = Limits::forRate(kSampleRate));

    // "<id>.m4a" for the first part, "<id>_<index>.m4a" from the second on.
    static QString partName(const QString& id, int index);

    // Where to end a part within `length` frames: the middle of the quietest whole block of
    // `blockFrames` frames (the later one among equals), or `length` when not even one block fits.
    static qint64 quietestCut(const float* const* channels, int channelCount, qint64 length, qint64 blockFrames);
};

}  // namespace harkwell
