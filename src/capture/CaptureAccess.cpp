#include "capture/CaptureAccess.h"

#include "foundation/HarkwellLog.h"
#include "foundation/WatchedFolder.h"

#include <QFileInfo>

namespace harkwell {

namespace {

QString files(int count) { return QString::number(count) + (count == 1 ? QStringLiteral(" file") : QStringLiteral(" files")); }

const QString kDeniedExplanation = QStringLiteral(
    "macOS is blocking harkwell from reading the Voice Memos folder.\n"
    "\n"
    "1. Click \"Open Full Disk Access settings\u2026\" above.\n"
    "2. If harkwell is already listed, switch it ON. If it is not listed, click + and choose harkwell from Applications.\n"
    "3. Click \"Restart harkwell\". macOS applies the grant only when an app starts, so nothing changes until it restarts.\n"
    "\n"
    "Still blocked afterwards? Remove harkwell from the list with the \u2212 button, then add it again with +. macOS ties "
    "the permission to the app's code signature, so a rebuilt or replaced copy of the app is treated as a different app "
    "and needs re-granting.");

}  // namespace

QString CaptureAccess::State::summary(const QString& folderName) const
{
    switch (m_kind) {
    case Kind::Ok: return folderName + QStringLiteral(": ") + files(m_fileCount) + QStringLiteral(" visible");
    case Kind::Empty: return folderName + QStringLiteral(": readable but no audio files");
    case Kind::Denied: return QStringLiteral("Full Disk Access needed");
    case Kind::Missing: return folderName + QStringLiteral(" folder not found");
    case Kind::NotConfigured: return QStringLiteral("Capture is off");
    case Kind::Unreadable: return folderName + QStringLiteral(" cannot be read: ") + m_reason;
    }
    return {};
}

bool CaptureAccess::State::isProblem() const
{
    return m_kind == Kind::Empty || m_kind == Kind::Denied || m_kind == Kind::Missing || m_kind == Kind::Unreadable;
}

QString CaptureAccess::State::explanation() const
{
    switch (m_kind) {
    case Kind::Ok: return QStringLiteral("harkwell can read the Voice Memos folder (") + files(m_fileCount) + QStringLiteral(").");
    case Kind::Empty:
        // The reason given on a Mac (recordings kept in the cloud) has no counterpart for a folder here.
        return QStringLiteral(
            "harkwell can read the folder, but it contains no audio files yet. Recordings saved there are sent as they "
            "appear.");
    case Kind::Denied: return kDeniedExplanation;
    case Kind::Missing:
        return QStringLiteral(
            "The Voice Memos folder does not exist on this computer. That is normal if Voice Memos has never been used here. "
            "harkwell will pick it up automatically once the folder appears.");
    case Kind::NotConfigured: return QStringLiteral("Voice Memos capture is switched off in Settings.");
    case Kind::Unreadable:
        return QStringLiteral("harkwell could not list the folder: ") + m_reason
               + QStringLiteral(". A disk error or a network folder that went away is the usual cause. harkwell tries "
                                "again at every poll.");
    }
    return {};
}

CaptureAccess::State CaptureAccess::check(const QString& folderPath, const QSet<QString>& extensions, bool enabled,
                                          FileSystem& files)
{
    if (!enabled)
        return State::notConfigured();
    const std::optional<FileStat> info = files.stat(folderPath);
    if (!info || !info->isDirectory)
        return State::missing();

    const auto listing = files.listFolder(folderPath);
    if (!listing) {
        if (listing.error().isPermissionDenied())
            return State::denied();
        HarkwellLog::log(QStringLiteral("[harkwell] capture: unexpected error probing %1: %2").arg(folderPath, listing.error().text));
        return State::unreadable(listing.error().text);
    }
    int count = 0;
    for (const FolderEntry& entry : *listing) {
        if (extensions.contains(QFileInfo(entry.name).suffix().toLower()))
            ++count;
    }
    return count == 0 ? State::empty() : State::ok(count);
}

void CaptureAccess::openFullDiskAccessSettings()
{
    HarkwellLog::log(QStringLiteral(
        "[harkwell] capture: Full Disk Access settings requested "
        "(x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles); this system has no such pane"));
}

QString CaptureAccess::voiceMemosUrl() { return WatchedFolder::voiceMemosPath(); }

const QSet<QString>& CaptureAccess::audioExtensions() { return WatchedFolder::audioExtensions(); }

}  // namespace harkwell
