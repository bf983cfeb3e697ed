#pragma once
// Asks the user for one folder (never files, never several). Windows take it by reference so that
// tests answer in place of the dialog.

#include <QString>

#include <optional>

class QWidget;

namespace harkwell {

struct FolderPanel {
    QString prompt;       // the confirm button's title
    QString message;      // shown above the list; may be empty
    QString startFolder;  // empty: the dialog's own choice
};

class FolderChooser {
public:
    virtual ~FolderChooser() = default;
    // The chosen folder's path; nothing when the user cancels.
    virtual std::optional<QString> chooseFolder(QWidget* parent, const FolderPanel& panel) = 0;

    // A modal QFileDialog in folder mode.
    static FolderChooser& dialog();
};

}  // namespace harkwell
