#include "onboarding/VaultCandidate.h"

namespace harkwell {

QString VaultCandidate::toRawValue(Source source)
{
    return source == Source::ObsidianRegistry ? QStringLiteral("obsidianRegistry") : QStringLiteral("filesystem");
}

std::optional<VaultCandidate::Source> VaultCandidate::sourceFromRaw(const QString& raw)
{
    if (raw == QLatin1String("obsidianRegistry"))
        return Source::ObsidianRegistry;
    if (raw == QLatin1String("filesystem"))
        return Source::Filesystem;
    return std::nullopt;
}

}  // namespace harkwell
