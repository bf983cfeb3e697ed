#pragma once
// Why a request to the Mirelon service failed, with the text the user sees. The platform's own
// failures (no connection, a time-out, a file that cannot be read) are carried with the platform's
// text, not re-worded.

#include <QString>

#include <optional>

namespace harkwell {

struct ClientError {
    enum class Kind {
        RequestFailed,         // status, body
        PlanRequired,          // plan, message (HTTP 402)
        MalformedResponse,     // detail
        AudioFileNotReadable,  // filePath
        MissingCredentials,
        Platform,              // detail: the transport's or the file system's own text
        AnswerTooLarge,        // detail: an answer past its cap, stopped unread
    };

    Kind kind = Kind::Platform;
    int status = 0;
    QString body;
    std::optional<QString> plan;
    std::optional<QString> message;
    QString detail;
    QString filePath;

    static ClientError requestFailed(int status, QString body);
    static ClientError planRequired(std::optional<QString> plan, std::optional<QString> message);
    static ClientError malformedResponse(QString detail);
    static ClientError audioFileNotReadable(QString filePath);
    static ClientError missingCredentials();
    static ClientError platform(QString text);
    static ClientError answerTooLarge(QString text);

    // The user-facing text.
    QString text() const;
    // The case and its payload, for log lines that name the error as a value.
    QString plainDescription() const;

    // An answer came but can never be used as it is: asking again gets the same answer.
    bool isUnusableAnswer() const { return kind == Kind::MalformedResponse || kind == Kind::AnswerTooLarge; }

    bool operator==(const ClientError&) const = default;
};

}  // namespace harkwell
