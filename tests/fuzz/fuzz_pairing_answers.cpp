// The pairing's two answers: the device code and each poll's status.
#include "FuzzSupport.h"
#include "JsonMutator.h"

#include "service/PairingAnswers.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace harkwell;
using namespace harkwell::fuzz;

HARKWELL_JSON_MUTATOR({"device_code", "user_code", "verification_url", "interval", "expires_in", "status", "token",
                       "scopes", "device_id", "authorization_pending", "approved", "denied", "expired",
                       "https://example.test/device", "http://127.0.0.1:1/verify", "http://[::1]/", "javascript:x",
                       "kb:read", "kb:write"})

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    const QJsonObject object = QJsonDocument::fromJson(bytes).object();

    if (const auto init = PairingAnswers::decodeInit(bytes)) {
        HARKWELL_FUZZ_CHECK(init->userCode == object.value(QStringLiteral("user_code")).toString());
        HARKWELL_FUZZ_CHECK(init->deviceCode == object.value(QStringLiteral("device_code")).toString());
        // Only a web page over TLS or a page on this machine may be opened in the browser.
        const QUrl url(init->verificationUrl, QUrl::StrictMode);
        if (PairingAnswers::isUsableVerificationUrl(url))
            HARKWELL_FUZZ_CHECK(url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"));
    } else {
        HARKWELL_FUZZ_CHECK(!init.error().isEmpty());
    }

    if (const auto poll = PairingAnswers::decodePoll(bytes)) {
        HARKWELL_FUZZ_CHECK(poll->status == object.value(QStringLiteral("status")).toString());
        HARKWELL_FUZZ_CHECK(!poll->token || *poll->token == object.value(QStringLiteral("token")).toString());
    } else {
        HARKWELL_FUZZ_CHECK(!poll.error().isEmpty());
    }
    return 0;
}
