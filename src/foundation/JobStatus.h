#pragma once
// The job status kept in a note's "mirelon_job_status", and how the status counts, the retry of
// pending captures and the resume at start treat each value. Values the service reports while
// polling are stored as they come, so anything not listed here is possible.

#include <QString>

#include <optional>

namespace harkwell {

class JobStatus {
public:
    // Written by the pipeline itself.
    static constexpr char kQueued[] = "queued";
    static constexpr char kSkipped[] = "skipped";
    static constexpr char kUploadFailed[] = "upload_failed";
    static constexpr char kPollTimeout[] = "poll_timeout";
    static constexpr char kFailed[] = "failed";
    static constexpr char kDone[] = "done";
    // An upload answer's status, never a note's.
    static constexpr char kDuplicateUpload[] = "duplicate_upload";
    // Reported by the service while polling.
    static constexpr char kPending[] = "pending";
    static constexpr char kProcessing[] = "processing";
    static constexpr char kCompleted[] = "completed";
    static constexpr char kPaywalled[] = "paywalled";
    static constexpr char kUnknown[] = "unknown";  // written when a status answer has none

    enum class Count { Pending, Processing, Failed, Done };

    // An absent status is a note someone else put in the inbox.
    static Count countAs(const std::optional<QString>& status);
    // Whether "retry pending captures" uploads it again. A queued note that already has a job
    // key is waiting for the service, not for an upload.
    static bool isRetryable(const std::optional<QString>& status, const std::optional<QString>& externalId);
    // Whether polling or uploading picks it up again at start.
    static bool isResumable(const std::optional<QString>& status);
};

}  // namespace harkwell
