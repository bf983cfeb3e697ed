#include "platform/secrets/FileSecretStore.h"

#include "platform/files/AtomicFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStringDecoder>

#include <optional>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harkwell {

namespace {

SecretError failed(const QString& text) { return SecretError{SecretError::Kind::Failed, text}; }

bool isUtf8(const QByteArray& bytes)
{
    // The decoder works only when its result is taken.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(bytes);
    return !decoder.hasError();
}

QString systemText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// What is wrong with the file's content, or nothing when it is a sound store.
std::optional<QString> damageIn(const QByteArray& content, QJsonObject& services)
{
    if (!isUtf8(content))
        return QStringLiteral("it is not UTF-8 text");
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("it is not JSON (%1 at offset %2)").arg(error.errorString(), QString::number(error.offset));
    if (!document.isObject())
        return QStringLiteral("it is not a JSON object");
    services = document.object();
    for (auto service = services.constBegin(); service != services.constEnd(); ++service) {
        if (!service.value().isObject())
            return QStringLiteral("the entry \"%1\" is not an object").arg(service.key());
        const QJsonObject accounts = service.value().toObject();
        for (auto account = accounts.constBegin(); account != accounts.constEnd(); ++account) {
            if (!account.value().isString())
                return QStringLiteral("the secret \"%1\" of \"%2\" is not text").arg(account.key(), service.key());
        }
    }
    return std::nullopt;
}

}  // namespace

FileSecretStore::FileSecretStore(QString path, Log log) : m_path(std::move(path)), m_log(std::move(log)) {}

void FileSecretStore::say(const QString& line) const
{
    if (m_log)
        m_log(line);
}

std::expected<FileSecretStore::Loaded, SecretError> FileSecretStore::load()
{
    const QByteArray nativePath = QFile::encodeName(m_path);
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT)
            return Loaded{};
        return std::unexpected(failed(QStringLiteral("Could not read %1: %2").arg(m_path, systemText(errno))));
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return std::unexpected(failed(QStringLiteral("Could not read %1: %2").arg(m_path, file.errorString())));
    }

    // Made 0600 by this store, but a copy, a restore or an editor can have opened it up.
    struct stat info {};
    if (::fstat(fd, &info) == 0 && (info.st_mode & 077) != 0) {
        const mode_t was = info.st_mode & 07777;
        if (::fchmod(fd, 0600) == 0)
            say(QStringLiteral("[harkwell] keychain: %1 could be read by others (mode %2); set to 0600")
                    .arg(m_path, QString::number(was, 8)));
        else
            return std::unexpected(failed(QStringLiteral("Could not make %1 private: %2").arg(m_path, systemText(errno))));
    }

    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::unexpected(failed(QStringLiteral("Could not read %1: %2").arg(m_path, file.errorString())));
    file.close();

    Loaded loaded;
    const std::optional<QString> damage = damageIn(content, loaded.services);
    if (!damage)
        return loaded;

    // Kept for whoever wants to look into it, out of the way of the next pairing.
    const QString aside = m_path + QStringLiteral(".damaged-")
        + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    if (::rename(nativePath.constData(), QFile::encodeName(aside).constData()) != 0)
        return std::unexpected(failed(QStringLiteral("%1 is damaged (%2) and could not be moved aside: %3")
                                          .arg(m_path, *damage, systemText(errno))));
    loaded.services = QJsonObject();
    loaded.damage = QStringLiteral("%1 was damaged (%2); it is kept as %3, and the device has to be paired again")
                        .arg(m_path, *damage, aside);
    say(QStringLiteral("[harkwell] keychain: ") + loaded.damage);
    return loaded;
}

std::expected<void, SecretError> FileSecretStore::save(const QJsonObject& services) const
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder))
        return std::unexpected(failed(QStringLiteral("Could not create the folder %1.").arg(folder)));

    // The atomic write keeps the mode of the file it replaces, so the file is made (or tightened)
    // to 0600 first and the secret is never readable by others, not even for a moment.
    const QByteArray nativePath = QFile::encodeName(m_path);
    const int fd = ::open(nativePath.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return std::unexpected(failed(QStringLiteral("Could not create %1: %2")
                                          .arg(m_path, QString::fromLocal8Bit(std::strerror(errno)))));
    const int modeResult = ::fchmod(fd, 0600);
    const int modeError = errno;
    ::close(fd);
    if (modeResult != 0)
        return std::unexpected(failed(QStringLiteral("Could not protect %1: %2")
                                          .arg(m_path, QString::fromLocal8Bit(std::strerror(modeError)))));

    auto written = AtomicFile::write(m_path, QJsonDocument(services).toJson(QJsonDocument::Indented));
    if (!written)
        return std::unexpected(failed(written.error().text));
    return {};
}

std::expected<QByteArray, SecretError> FileSecretStore::read(const QString& service, const QString& account)
{
    QMutexLocker locker(&m_lock);
    auto loaded = load();
    if (!loaded)
        return std::unexpected(loaded.error());
    const QJsonValue secret = loaded->services.value(service).toObject().value(account);
    if (!secret.isString())
        return std::unexpected(SecretError{SecretError::Kind::NotFound,
                                           loaded->damage.isEmpty() ? QStringLiteral("No secret is stored.") : loaded->damage});
    return secret.toString().toUtf8();
}

std::expected<void, SecretError> FileSecretStore::write(const QString& service, const QString& account,
                                                        const QByteArray& secret)
{
    // JSON holds text only; a secret that is not UTF-8 would come back altered.
    if (!isUtf8(secret))
        return std::unexpected(failed(QStringLiteral("The secret is not text and cannot be kept in %1.").arg(m_path)));
    QMutexLocker locker(&m_lock);
    auto loaded = load();
    if (!loaded)
        return std::unexpected(loaded.error());
    QJsonObject* services = &loaded->services;
    QJsonObject accounts = services->value(service).toObject();
    accounts.insert(account, QString::fromUtf8(secret));
    services->insert(service, accounts);
    return save(*services);
}

std::expected<void, SecretError> FileSecretStore::remove(const QString& service, const QString& account)
{
    QMutexLocker locker(&m_lock);
    auto loaded = load();
    if (!loaded)
        return std::unexpected(loaded.error());
    QJsonObject* services = &loaded->services;
    QJsonObject accounts = services->value(service).toObject();
    if (!accounts.contains(account))
        return {};
    accounts.remove(account);
    if (accounts.isEmpty())
        services->remove(service);
    else
        services->insert(service, accounts);
    if (services->isEmpty()) {
        // Nothing left to keep: no file is the plainest way to hold no secret.
        if (::unlink(QFile::encodeName(m_path).constData()) != 0 && errno != ENOENT)
            return std::unexpected(failed(QStringLiteral("Could not remove %1: %2").arg(m_path, systemText(errno))));
        (void)AtomicFile::syncFolder(QFileInfo(m_path).absolutePath());
        return {};
    }
    return save(*services);
}

}  // namespace harkwell
