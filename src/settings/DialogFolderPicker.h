#pragma once
// The desktop's folder picker: a modal QFileDialog that takes one folder.

#include "settings/FolderPicker.h"

namespace harkwell {

class DialogFolderPicker final : public FolderPicker {
public:
    std::optional<QString> pickFolder(QWidget* parent, const QString& prompt, const QString& message) override;
};

}  // namespace harkwell
