#include "platform/media/MediaCodecs.h"

#include <QFile>

#include <dlfcn.h>

namespace harkwell {

namespace {

QString lastLoadError()
{
    const char* reason = ::dlerror();
    return reason ? QString::fromLocal8Bit(reason) : QStringLiteral("unknown reason");
}

}  // namespace

std::expected<MediaCodecs*, QString> MediaCodecs::load(const QString& modulePath)
{
    // Never closed: the objects it hands out may live until the process ends. Local, so that
    // FFmpeg's symbols cannot stand in for anything else the process looks up.
    void* module = ::dlopen(QFile::encodeName(modulePath).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!module)
        return std::unexpected(QStringLiteral("Harkwell's audio codecs could not be loaded: %1").arg(lastLoadError()));
    using Entry = decltype(&harkwell_media_codecs);
    const auto entry = reinterpret_cast<Entry>(::dlsym(module, "harkwell_media_codecs"));
    if (!entry)
        return std::unexpected(QStringLiteral("Harkwell's audio codecs could not be loaded: %1").arg(lastLoadError()));
    return entry();
}

std::expected<MediaCodecs*, QString> MediaCodecs::load()
{
    static const std::expected<MediaCodecs*, QString> loaded = load(QStringLiteral(HARKWELL_CODECS_MODULE));
    return loaded;
}

}  // namespace harkwell
