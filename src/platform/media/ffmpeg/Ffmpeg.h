#pragma once
// Small things every use of FFmpeg here needs: its words for an error code, and its own log kept
// quiet (estimated durations, encoder statistics, probes of files that are not audio are not for
// the user's terminal).

#include <QString>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <mutex>

namespace harkwell {

inline QString ffmpegError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromLocal8Bit(text);
}

inline void quietFfmpeg()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

}  // namespace harkwell
