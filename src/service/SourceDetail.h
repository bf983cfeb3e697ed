#pragma once
// One source fetched whole: its transcript and what the service knows about it.

#include "foundation/DecodeError.h"

#include <QByteArray>
#include <QString>

#include <expected>
#include <optional>

namespace harkwell {

struct SourceDetail {
    struct ResultBlock {
        std::optional<QString> text;
        std::optional<QString> original_filename;
        std::optional<QString> language;
        std::optional<double> duration;
        std::optional<int> word_count;
        std::optional<QString> model;
        std::optional<QString> llm_title;
        std::optional<QString> llm_summary;
        std::optional<QString> status;
    };
    bool success = false;
    ResultBlock result;
    QString cache_key;

    static std::expected<SourceDetail, DecodeError> fromJson(const QByteArray& body);
};

}  // namespace harkwell
