#pragma once
// A folder whose new audio files become captures, as stored in settings.json; its id keys the
// seen ledger and the folder-access notices.

#include "foundation/DecodeError.h"

#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <expected>
#include <optional>

namespace harkwell {

struct WatchedFolder {
    // How the folder's file names are read: Voice Memos names carry the recording's date and time;
    // otherwise the modification date stands for it.
    enum class Normaliser { VoiceMemos, None };

    QString id;
    QString path;  // may begin with "~"
    QString displayName;
    bool enabled = true;
    QStringList extensions;  // without the dot; empty means audioExtensions()
    Normaliser normaliser = Normaliser::None;

    QSet<QString> effectiveExtensions() const;

    // The record for a folder the user adds: a stable id from the expanded path's FNV-1a hash.
    static WatchedFolder generic(const QString& path, const std::optional<QString>& displayName = std::nullopt);
    // The one folder watched when the user has no list of their own.
    static WatchedFolder defaultVoiceMemos(bool enabled);

    // The Voice Memos recordings folder: the group container when it exists, else the older
    // Application Support folder when that exists, else the group container. Read on every call.
    static QString voiceMemosPath();
    // "m4a" and "wav".
    static const QSet<QString>& audioExtensions();

    static constexpr char kVoiceMemosId[] = "voice-memos";

    QJsonObject toJson() const;
    static std::expected<WatchedFolder, DecodeError> fromJson(const QJsonObject& object, const QString& context = {});

    friend bool operator==(const WatchedFolder&, const WatchedFolder&) = default;
};

QString toRawValue(WatchedFolder::Normaliser normaliser);
std::optional<WatchedFolder::Normaliser> normaliserFromRaw(const QString& raw);

}  // namespace harkwell
