#include "service/ClientError.h"

namespace harkwell {

ClientError ClientError::requestFailed(int status, QString body)
{
    ClientError error{Kind::RequestFailed};
    error.status = status;
    error.body = std::move(body);
    return error;
}

ClientError ClientError::planRequired(std::optional<QString> plan, std::optional<QString> message)
{
    ClientError error{Kind::PlanRequired};
    error.plan = std::move(plan);
    error.message = std::move(message);
    return error;
}

ClientError ClientError::malformedResponse(QString detail)
{
    ClientError error{Kind::MalformedResponse};
    error.detail = std::move(detail);
    return error;
}

ClientError ClientError::audioFileNotReadable(QString filePath)
{
    ClientError error{Kind::AudioFileNotReadable};
    error.filePath = std::move(filePath);
    return error;
}

ClientError ClientError::missingCredentials() { return ClientError{Kind::MissingCredentials}; }

ClientError ClientError::platform(QString text)
{
    ClientError error{Kind::Platform};
    error.detail = std::move(text);
    return error;
}

ClientError ClientError::answerTooLarge(QString text)
{
    ClientError error{Kind::AnswerTooLarge};
    error.detail = std::move(text);
    return error;
}

QString ClientError::text() const
{
    switch (kind) {
    case Kind::RequestFailed:
        return QStringLiteral("Mirelon request failed (%1): %2").arg(status).arg(body);
    case Kind::PlanRequired:
        if (message && !message->isEmpty())
            return QStringLiteral("Mirelon refused this request (402): ") + *message;
        return QStringLiteral("Mirelon refused this request for your plan (402")
            + (plan ? QStringLiteral(", needs ") + *plan : QString()) + QLatin1Char(')');
    case Kind::MalformedResponse:
        return QStringLiteral("Mirelon response malformed: ") + detail;
    case Kind::AudioFileNotReadable:
        return QStringLiteral("Cannot read audio file: ") + filePath;
    case Kind::MissingCredentials:
        return QStringLiteral("Not connected to Mirelon (Settings > Captures > Connect to Mirelon\u2026)");
    case Kind::Platform:
    case Kind::AnswerTooLarge:
        return detail;
    }
    return detail;
}

QString ClientError::plainDescription() const
{
    auto quoted = [](const std::optional<QString>& value) {
        return value ? QStringLiteral("\"%1\"").arg(*value) : QStringLiteral("nil");
    };
    switch (kind) {
    case Kind::RequestFailed:
        return QStringLiteral("requestFailed(status: %1, body: \"%2\")").arg(status).arg(body);
    case Kind::PlanRequired:
        return QStringLiteral("planRequired(plan: %1, message: %2)").arg(quoted(plan), quoted(message));
    case Kind::MalformedResponse:
        return QStringLiteral("malformedResponse(detail: \"%1\")").arg(detail);
    case Kind::AudioFileNotReadable:
        return QStringLiteral("audioFileNotReadable(%1)").arg(filePath);
    case Kind::MissingCredentials:
        return QStringLiteral("missingCredentials");
    case Kind::Platform:
    case Kind::AnswerTooLarge:
        return detail;
    }
    return detail;
}

}  // namespace harkwell
