#include "foundation/JobStatus.h"

namespace harkwell {

namespace {
bool is(const QString& status, const char* value) { return status == QLatin1String(value); }
}  // namespace

JobStatus::Count JobStatus::countAs(const std::optional<QString>& status)
{
    if (!status)
        return Count::Pending;
    if (is(*status, kUploadFailed) || is(*status, kPollTimeout) || is(*status, kFailed) || is(*status, kPaywalled))
        return Count::Failed;
    if (is(*status, kProcessing))
        return Count::Processing;
    if (is(*status, kDone))
        return Count::Done;
    return Count::Pending;
}

bool JobStatus::isRetryable(const std::optional<QString>& status, const std::optional<QString>& externalId)
{
    if (!status)
        return true;
    if (is(*status, kQueued))
        return !externalId || externalId->isEmpty();
    return is(*status, kSkipped) || is(*status, kUploadFailed) || is(*status, kPollTimeout) || is(*status, kFailed)
           || is(*status, kPaywalled);
}

bool JobStatus::isResumable(const std::optional<QString>& status)
{
    if (!status)
        return false;
    return is(*status, kQueued) || is(*status, kUploadFailed) || is(*status, kPollTimeout) || is(*status, kPending)
           || is(*status, kProcessing) || is(*status, kCompleted);
}

}  // namespace harkwell
