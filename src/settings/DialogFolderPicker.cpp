#include "settings/DialogFolderPicker.h"

#include <QFileDialog>

namespace harkwell {

FolderPicker& FolderPicker::dialog()
{
    static DialogFolderPicker picker;
    return picker;
}

std::optional<QString> DialogFolderPicker::pickFolder(QWidget* parent, const QString& prompt, const QString& message)
{
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, prompt);
    dialog.setWindowTitle(message);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first();
}

}  // namespace harkwell
