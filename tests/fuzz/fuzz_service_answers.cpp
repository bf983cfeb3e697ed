// The service's JSON answers: upload, pipeline status, one source, a page of the source list.
#include "FuzzSupport.h"
#include "JsonMutator.h"

#include "service/PipelineStatus.h"
#include "service/SourceDetail.h"
#include "service/SourceListResponse.h"
#include "service/UploadResult.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace harkwell;
using namespace harkwell::fuzz;

HARKWELL_JSON_MUTATOR({"status", "task_id", "cache_key", "message", "title", "transcription", "model", "duration",
                       "word_count", "success", "result", "text", "original_filename", "language", "llm_title",
                       "llm_summary", "files", "count", "has_more", "next_cursor", "timestamp", "created_at",
                       "is_deleted", "queued", "processing", "completed", "done", "failed", "paywalled",
                       "duplicate_upload", "error", "plan", "device_code", "user_code", "verification_url", "interval",
                       "expires_in", "token", "scopes", "device_id", "authorization_pending", "approved"})

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    const QJsonObject object = document.object();

    if (const auto upload = UploadResult::fromJson(bytes))
        HARKWELL_FUZZ_CHECK(object.value(QStringLiteral("status")).toString() == upload->status);
    if (const auto status = PipelineStatus::fromJson(bytes); status && status->transcription) {
        const auto& stage = *status->transcription;
        HARKWELL_FUZZ_CHECK(!stage.duration || std::isfinite(*stage.duration));
    }
    if (const auto detail = SourceDetail::fromJson(bytes)) {
        HARKWELL_FUZZ_CHECK(object.value(QStringLiteral("cache_key")).toString() == detail->cache_key);
        HARKWELL_FUZZ_CHECK(!detail->result.duration || std::isfinite(*detail->result.duration));
    }
    if (const auto page = SourceListResponse::fromJson(bytes)) {
        const QJsonArray files = object.value(QStringLiteral("files")).toArray();
        HARKWELL_FUZZ_CHECK(page->files.size() == files.size());
        for (qsizetype i = 0; i < files.size(); ++i)
            HARKWELL_FUZZ_CHECK(page->files[i].cache_key == files[i].toObject().value(QStringLiteral("cache_key")).toString());
        HARKWELL_FUZZ_CHECK(!page->next_cursor || object.value(QStringLiteral("next_cursor")).isString());
    }
    return 0;
}
