#include "foundation/WatchedFolder.h"

#include "foundation/JsonFields.h"
#include "platform/paths/Paths.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace harkwell {

namespace {

quint64 fnv1a64(const QByteArray& bytes)
{
    quint64 hash = 0xcbf29ce484222325ULL;
    for (const char byte : bytes) {
        hash ^= static_cast<unsigned char>(byte);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

QString base36(quint64 value)
{
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    QString text;
    do {
        text.prepend(QLatin1Char(kDigits[value % 36]));
        value /= 36;
    } while (value != 0);
    return text;
}

// Anything at the path counts, a dangling link included: only existence decides, not readability.
bool itemExists(const QString& path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

}  // namespace

QString toRawValue(WatchedFolder::Normaliser normaliser)
{
    return normaliser == WatchedFolder::Normaliser::VoiceMemos ? QStringLiteral("voiceMemos") : QStringLiteral("none");
}

std::optional<WatchedFolder::Normaliser> normaliserFromRaw(const QString& raw)
{
    if (raw == QLatin1String("voiceMemos"))
        return WatchedFolder::Normaliser::VoiceMemos;
    if (raw == QLatin1String("none"))
        return WatchedFolder::Normaliser::None;
    return std::nullopt;
}

QSet<QString> WatchedFolder::effectiveExtensions() const
{
    if (extensions.isEmpty())
        return audioExtensions();
    QSet<QString> set;
    for (const QString& extension : extensions)
        set.insert(extension.toLower());
    return set;
}

WatchedFolder WatchedFolder::generic(const QString& path, const std::optional<QString>& displayName)
{
    const QString expanded = Paths::expandTilde(path);
    WatchedFolder folder;
    folder.id = QStringLiteral("folder-") + base36(fnv1a64(expanded.toUtf8()));
    folder.path = path;
    folder.displayName = displayName ? *displayName : QFileInfo(expanded).fileName();
    folder.enabled = true;
    folder.normaliser = Normaliser::None;
    return folder;
}

WatchedFolder WatchedFolder::defaultVoiceMemos(bool enabled)
{
    return WatchedFolder{QString::fromLatin1(kVoiceMemosId), voiceMemosPath(), QStringLiteral("Voice Memos"), enabled, {},
                         Normaliser::VoiceMemos};
}

QString WatchedFolder::voiceMemosPath()
{
    const QString groupContainer = Paths::voiceMemosFolder();
    if (itemExists(groupContainer))
        return groupContainer;
    const QString legacy = Paths::voiceMemosLegacyFolder();
    return itemExists(legacy) ? legacy : groupContainer;
}

const QSet<QString>& WatchedFolder::audioExtensions()
{
    static const QSet<QString> extensions{QStringLiteral("m4a"), QStringLiteral("wav")};
    return extensions;
}

QJsonObject WatchedFolder::toJson() const
{
    return {
        {QStringLiteral("id"), id},
        {QStringLiteral("path"), path},
        {QStringLiteral("displayName"), displayName},
        {QStringLiteral("enabled"), enabled},
        {QStringLiteral("extensions"), QJsonArray::fromStringList(extensions)},
        {QStringLiteral("normaliser"), toRawValue(normaliser)},
    };
}

std::expected<WatchedFolder, DecodeError> WatchedFolder::fromJson(const QJsonObject& object, const QString& context)
{
    JsonFields fields(object, context);
    WatchedFolder folder;
    folder.id = fields.string(QStringLiteral("id"));
    folder.path = fields.string(QStringLiteral("path"));
    folder.displayName = fields.string(QStringLiteral("displayName"));
    folder.enabled = fields.boolean(QStringLiteral("enabled"));
    folder.extensions = fields.strings(QStringLiteral("extensions"));
    const QString normaliser = fields.string(QStringLiteral("normaliser"));
    if (!fields.ok())
        return std::unexpected(*fields.error());
    const auto parsed = normaliserFromRaw(normaliser);
    if (!parsed)
        return std::unexpected(
            DecodeError{QStringLiteral("%1: unknown value \"%2\"").arg(fields.place(QStringLiteral("normaliser")), normaliser)});
    folder.normaliser = *parsed;
    return folder;
}

}  // namespace harkwell
