// secrets.json of the file secret store: reads, and writes that keep every other secret.
#include "FuzzSupport.h"
#include "JsonMutator.h"

#include "platform/secrets/FileSecretStore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

using namespace harkwell;
using namespace harkwell::fuzz;

HARKWELL_JSON_MUTATOR({"org.harkwell.mirelon", "device-token", "harkwell", "token", "other", "secret"})

namespace {

bool isUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    return !decoder.hasError();
}

// Every secret of a sound store, as the store hands it out.
std::optional<QMap<QPair<QString, QString>, QByteArray>> secretsIn(const QByteArray& bytes)
{
    if (!isUtf8(bytes))
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    QMap<QPair<QString, QString>, QByteArray> secrets;
    const QJsonObject services = document.object();
    for (auto service = services.constBegin(); service != services.constEnd(); ++service) {
        if (!service.value().isObject())
            return std::nullopt;
        const QJsonObject accounts = service.value().toObject();
        for (auto account = accounts.constBegin(); account != accounts.constEnd(); ++account) {
            if (!account.value().isString())
                return std::nullopt;
            secrets.insert({service.key(), account.key()}, account.value().toString().toUtf8());
        }
    }
    return secrets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    const QString folder = privateHome() + QStringLiteral("/secrets");
    const QString path = folder + QStringLiteral("/secrets.json");
    QDir(folder).removeRecursively();
    writeFile(path, bytes);
    const auto secrets = secretsIn(bytes);

    FileSecretStore store(path);
    const auto read = store.read(QStringLiteral("org.harkwell.mirelon"), QStringLiteral("device-token"));
    if (!secrets) {
        // Moved aside whole, out of the next pairing's way.
        HARKWELL_FUZZ_CHECK(!read && !fileExists(path));
        const QStringList aside = QDir(folder).entryList({QStringLiteral("secrets.json.damaged-*")}, QDir::Files);
        HARKWELL_FUZZ_CHECK(aside.size() == 1 && readFile(folder + QLatin1Char('/') + aside.first()) == bytes);
        return 0;
    }
    const auto expected = secrets->value({QStringLiteral("org.harkwell.mirelon"), QStringLiteral("device-token")});
    HARKWELL_FUZZ_CHECK(read.has_value() == secrets->contains({QStringLiteral("org.harkwell.mirelon"), QStringLiteral("device-token")}));
    HARKWELL_FUZZ_CHECK(!read || *read == expected);

    // A new secret leaves every other one as it was.
    HARKWELL_FUZZ_CHECK(store.write(QStringLiteral("fuzz"), QStringLiteral("fuzz"), "new"));
    for (auto it = secrets->constBegin(); it != secrets->constEnd(); ++it) {
        if (it.key() == qMakePair(QStringLiteral("fuzz"), QStringLiteral("fuzz")))
            continue;
        const auto kept = store.read(it.key().first, it.key().second);
        HARKWELL_FUZZ_CHECK(kept && *kept == it.value(), it.key().first.toUtf8() + " / " + it.key().second.toUtf8());
    }
    HARKWELL_FUZZ_CHECK(secretsIn(readFile(path)).has_value());
    return 0;
}
