#pragma once
// The Captures tab's "Watched folders" section: the editing copy's folders with what the app can
// read of each (and the remedy when the system blocks it), adding, removing and detecting folders,
// the entry to send recordings already in Voice Memos, and the upload and keep-running switches.

#include "capture/CaptureAccess.h"

#include <QMap>
#include <QString>
#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace harkwell {

struct SettingsEditingCopy;
struct SettingsServices;

class WatchedFoldersSection final : public QWidget {
    Q_OBJECT
public:
    WatchedFoldersSection(SettingsEditingCopy& copy, const SettingsServices& services, QWidget* parent = nullptr);

    void addFolder();
    void removeFolder(const QString& id);
    void detectVoiceMemos();
    // Probes every folder of the list, switched on or off, and shows what it found.
    void refreshFolderStates();
    // Redraws from the editing copy and the saved settings.
    void refresh();
    void setImportMessage(const QString& message);

    const QMap<QString, CaptureAccess::State>& folderStates() const { return m_folderStates; }

    static constexpr char kFullDiskAccessRestartReason[] =
        "macOS applies a Full Disk Access grant only when an app starts, so harkwell needs to restart before it can "
        "read the Voice Memos folder.\n\nUnsaved changes in Settings will be lost.";

signals:
    void importRequested();
    // The folder list or the upload switch changed in the editing copy.
    void edited();

private:
    void rebuildRows();
    QWidget* folderRow(int index);

    SettingsEditingCopy& m_copy;
    const SettingsServices& m_services;
    QMap<QString, CaptureAccess::State> m_folderStates;

    QLabel* m_empty;
    QWidget* m_rows;
    QVBoxLayout* m_rowsLayout;
    QPushButton* m_detect;
    QPushButton* m_sendExisting;
    QLabel* m_importMessage;
    QCheckBox* m_upload;
    QCheckBox* m_keepRunning;
};

}  // namespace harkwell
