#include "platform/media/FfmpegDurationProbe.h"

#include "platform/files/FileNames.h"
#include "platform/media/MediaCodecs.h"
#include "platform/syslog/SystemLog.h"

#include <mutex>

namespace harkwell {

AudioDurationProbe& AudioDurationProbe::system()
{
    static FfmpegDurationProbe probe;
    return probe;
}

std::optional<double> FfmpegDurationProbe::duration(const QString& path)
{
    const auto codecs = MediaCodecs::load();
    if (!codecs) {
        // Every probe would fail the same way; once is enough to find it in the journal.
        static std::once_flag logged;
        std::call_once(logged, [&] { SystemLog::write(QStringLiteral("[harkwell] duration probe: %1").arg(codecs.error())); });
        return std::nullopt;
    }
    return (*codecs)->duration(FileNames::native(path));
}

}  // namespace harkwell
