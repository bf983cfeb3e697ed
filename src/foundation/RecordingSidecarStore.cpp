#include "foundation/RecordingSidecarStore.h"

#include "foundation/HarkwellLog.h"

#include <QFileInfo>

namespace harkwell {

QString RecordingSidecarStore::path(const QString& id)
{
    return RecordingPaths::workFolder(id) + QLatin1Char('/') + QLatin1String(kFileName);
}

std::expected<bool, FileError> RecordingSidecarStore::write(const RecordingSidecar& sidecar)
{
    if (!RecordingPaths::isWorkFolderName(sidecar.id))
        return std::unexpected(FileError{QStringLiteral("“%1” is not a recording id").arg(sidecar.id)});
    if (!QFileInfo(RecordingPaths::workFolder(sidecar.id)).isDir())
        return false;
    if (auto written = AtomicFile::write(path(sidecar.id), sidecar.encode(), AtomicFile::Durability::Synced); !written)
        return std::unexpected(written.error());
    return true;
}

void RecordingSidecarStore::save(const RecordingSidecar& sidecar)
{
    if (const auto written = write(sidecar); !written) {
        const QString id = sidecar.id.isEmpty() ? QStringLiteral("?") : sidecar.id;
        HarkwellLog::log(QStringLiteral("[harkwell] recorder: recovery: could not write sidecar for %1: %2")
                             .arg(id, written.error().text));
    }
}

}  // namespace harkwell
