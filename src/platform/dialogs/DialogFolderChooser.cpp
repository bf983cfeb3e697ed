#include "platform/dialogs/DialogFolderChooser.h"

#include <QFileDialog>

namespace harkwell {

FolderChooser& FolderChooser::dialog()
{
    static DialogFolderChooser chooser;
    return chooser;
}

std::optional<QString> DialogFolderChooser::chooseFolder(QWidget* parent, const FolderPanel& panel)
{
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, panel.prompt);
    if (!panel.message.isEmpty())
        dialog.setWindowTitle(panel.message);
    if (!panel.startFolder.isEmpty())
        dialog.setDirectory(panel.startFolder);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return std::nullopt;
    return chosen.first();
}

}  // namespace harkwell
