#pragma once
// How far the service has come with one source: its transcription stage, when it reports one.

#include "foundation/DecodeError.h"

#include <QByteArray>
#include <QString>

#include <expected>
#include <optional>

namespace harkwell {

struct PipelineStatus {
    struct TranscriptionStage {
        std::optional<QString> status;
        std::optional<QString> model;
        std::optional<double> duration;
        std::optional<int> word_count;
    };
    // Absent when the answer has no "status" object or that has no "transcription".
    std::optional<TranscriptionStage> transcription;

    static std::expected<PipelineStatus, DecodeError> fromJson(const QByteArray& body);
};

}  // namespace harkwell
