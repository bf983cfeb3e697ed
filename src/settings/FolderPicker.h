#pragma once
// Asks the user for one folder (never files, never several); the settings window takes it by
// reference so that tests answer in place of the dialog.

#include <QString>

#include <optional>

class QWidget;

namespace harkwell {

class FolderPicker {
public:
    virtual ~FolderPicker() = default;
    // The chosen folder's path; nothing when the user cancels.
    virtual std::optional<QString> pickFolder(QWidget* parent, const QString& prompt, const QString& message) = 0;

    // A modal QFileDialog in folder mode.
    static FolderPicker& dialog();
};

}  // namespace harkwell
