#include "platform/media/MediaCodecs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

QStringList MediaCodecs::modulePaths(const QString& executable)
{
    // What runs from the build tree uses the module built with it, even where another build is
    // installed; an installed copy never depends on the tree it was built in.
    const QString buildTree = QFileInfo(QStringLiteral(HARKWELL_BUILD_TREE)).canonicalFilePath();
    if (!buildTree.isEmpty() && executable.startsWith(buildTree + QLatin1Char('/')))
        return {QStringLiteral(HARKWELL_CODECS_MODULE)};
    const QString name = QStringLiteral(HARKWELL_CODECS_FILE_NAME);
    QStringList paths{
        QDir::cleanPath(QFileInfo(executable).absolutePath() + QStringLiteral("/" HARKWELL_CODECS_FROM_BINARY "/") + name),
        QStringLiteral(HARKWELL_CODECS_INSTALLED "/") + name,
    };
    paths.removeDuplicates();
    return paths;
}

std::expected<MediaCodecs*, QString> MediaCodecs::load()
{
    static const std::expected<MediaCodecs*, QString> loaded = [] {
        const QStringList paths = modulePaths(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath());
        for (const QString& path : paths)
            if (QFileInfo::exists(path))
                return load(path);
        return std::expected<MediaCodecs*, QString>(std::unexpect,
            QStringLiteral("Harkwell's audio codecs could not be loaded: none at %1").arg(paths.join(QStringLiteral(", "))));
    }();
    return loaded;
}

}  // namespace harkwell
