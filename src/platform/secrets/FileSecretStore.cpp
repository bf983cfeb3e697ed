#include "platform/secrets/FileSecretStore.h"

#include "platform/files/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStringDecoder>

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
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    (void)decoder.decode(bytes);
    return !decoder.hasError();
}

}  // namespace

FileSecretStore::FileSecretStore(QString path) : m_path(std::move(path)) {}

std::expected<QJsonObject, SecretError> FileSecretStore::load() const
{
    QFile file(m_path);
    if (!file.exists())
        return QJsonObject{};
    if (!file.open(QIODevice::ReadOnly))
        return std::unexpected(failed(QStringLiteral("Could not read %1: %2").arg(m_path, file.errorString())));
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::unexpected(failed(QStringLiteral("%1 is damaged and was left as it is.").arg(m_path)));
    return document.object();
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
    auto services = load();
    if (!services)
        return std::unexpected(services.error());
    const QJsonValue secret = services->value(service).toObject().value(account);
    if (!secret.isString())
        return std::unexpected(SecretError{SecretError::Kind::NotFound, QStringLiteral("No secret is stored.")});
    return secret.toString().toUtf8();
}

std::expected<void, SecretError> FileSecretStore::write(const QString& service, const QString& account,
                                                        const QByteArray& secret)
{
    // JSON holds text only; a secret that is not UTF-8 would come back altered.
    if (!isUtf8(secret))
        return std::unexpected(failed(QStringLiteral("The secret is not text and cannot be kept in %1.").arg(m_path)));
    QMutexLocker locker(&m_lock);
    auto services = load();
    if (!services)
        return std::unexpected(services.error());
    QJsonObject accounts = services->value(service).toObject();
    accounts.insert(account, QString::fromUtf8(secret));
    services->insert(service, accounts);
    return save(*services);
}

std::expected<void, SecretError> FileSecretStore::remove(const QString& service, const QString& account)
{
    QMutexLocker locker(&m_lock);
    auto services = load();
    if (!services)
        return std::unexpected(services.error());
    QJsonObject accounts = services->value(service).toObject();
    if (!accounts.contains(account))
        return {};
    accounts.remove(account);
    if (accounts.isEmpty())
        services->remove(service);
    else
        services->insert(service, accounts);
    return save(*services);
}

}  // namespace harkwell
