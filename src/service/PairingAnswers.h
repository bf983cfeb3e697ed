#pragma once
// The two answers of the device-code pairing: the code to show the user, and each poll's status
// with the token once approved. A failure is the message the settings window shows.

#include <QString>
#include <QStringList>
#include <QUrl>

#include <expected>
#include <optional>

namespace harkwell::PairingAnswers {

struct Init {
    QString deviceCode;
    QString userCode;
    QString verificationUrl;
    int interval = 0;
    int expiresIn = 0;
};

struct Poll {
    QString status;
    std::optional<QString> token;
    std::optional<QStringList> scopes;
};

std::expected<Init, QString> decodeInit(const QByteArray& body);
std::expected<Poll, QString> decodePoll(const QByteArray& body);

// The page is opened in the user's browser: only a web page over TLS, or plain http to this
// machine (a local test service), may be handed to the desktop.
bool isUsableVerificationUrl(const QUrl& url);

}  // namespace harkwell::PairingAnswers
