// recording.json, the recording sidecar, in each of the date forms recovery tries: the decoder,
// its round trip, and the rules its readers rely on.
#include "FuzzSupport.h"
#include "JsonMutator.h"

#include "foundation/RecordingTypes.h"

#include <cmath>

using namespace harkwell;
using namespace harkwell::fuzz;

HARKWELL_JSON_MUTATOR({"id", "startedAt", "endedAt", "source", "microphoneName", "channelLayout", "segments", "status",
                       "systemSideSilent", "micSideSilent", "levels", "micPeak", "micRMS", "systemPeak", "systemRMS",
                       "submittedParts", "reconstructed", "echoCancellation", "outputKind", "appVersion", "file",
                       "sampleRate", "micDeviceName", "reason", "echoCancelled", "echoReferenceDelay", "allAudio", "app",
                       "bundleID", "name", "recording", "paused", "stopped", "encoded", "sent", "discarded", "start",
                       "resume", "wake", "device-change", "L=microphone,R=system", "L=system-left,R=system-right",
                       "mixed (see segments)", "segment-000.caf", "segment-1000.caf", "260305-140709", "headphones"})

namespace {

// One file name directly inside the work folder, as every reader of a segment joins it.
bool isPlainName(const QString& name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QChar(u'\0'))
           && name != QLatin1String(".") && name != QLatin1String("..");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    for (const auto form : {RecordingSidecar::DateDecoding::Iso8601, RecordingSidecar::DateDecoding::Iso8601Fractional,
                            RecordingSidecar::DateDecoding::ReferenceSeconds}) {
        const auto decoded = RecordingSidecar::decode(bytes, form);
        if (!decoded)
            continue;
        for (const RecordingSidecar::Segment& segment : decoded->segments)
            HARKWELL_FUZZ_CHECK(isPlainName(segment.file), segment.file.toUtf8());
        if (decoded->levels) {
            const auto& l = *decoded->levels;
            HARKWELL_FUZZ_CHECK(std::isfinite(l.micPeak) && std::isfinite(l.micRms) && std::isfinite(l.systemPeak)
                                && std::isfinite(l.systemRms));
        }
        // Written and read back in the form it is written in, the record is the same, and so are
        // its bytes written again. (The first write drops fractions of a second.)
        const QByteArray encoded = decoded->encode();
        const auto again = RecordingSidecar::decode(encoded);
        HARKWELL_FUZZ_CHECK(again, encoded + "\n" + (again ? QByteArray() : again.error().text.toUtf8()));
        HARKWELL_FUZZ_CHECK(again->encode() == encoded, encoded);
        const auto third = RecordingSidecar::decode(again->encode());
        HARKWELL_FUZZ_CHECK(third && *third == *again, encoded);
    }
    return 0;
}
