#pragma once
// AudioDurationProbe through libavformat (in the codec module, loaded on the first probe): the
// container's duration, else its longest stream's.

#include "platform/media/AudioDurationProbe.h"

namespace harkwell {

class FfmpegDurationProbe final : public AudioDurationProbe {
public:
    std::optional<double> duration(const QString& path) override;
};

}  // namespace harkwell
