#pragma once
// The folder chooser of the desktop: a modal QFileDialog that takes one folder.

#include "platform/dialogs/FolderChooser.h"

namespace harkwell {

class DialogFolderChooser final : public FolderChooser {
public:
    std::optional<QString> chooseFolder(QWidget* parent, const FolderPanel& panel) override;
};

}  // namespace harkwell
