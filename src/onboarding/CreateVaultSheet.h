#pragma once
// The sheet that makes a brand-new vault: a parent folder, a name, and whether to write the
// CLAUDE.md stub. It reports the new vault's path; a failure is shown in the sheet, which stays open.

#include <QDialog>

#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace harkwell {

class FolderChooser;

class CreateVaultSheet final : public QDialog {
    Q_OBJECT
public:
    CreateVaultSheet(std::function<void()> onCancel, std::function<void(const QString& path)> onCreated,
                     FolderChooser& chooser, QWidget* parent = nullptr);

    QString parentDir() const;
    QString vaultName() const;
    bool writeClaudeMd() const;
    // The last failure's text; empty while there is none.
    QString error() const;

    void pickParent();
    void create();

    QLineEdit* parentField() const { return m_parentField; }
    QLineEdit* nameField() const { return m_nameField; }
    QCheckBox* claudeMdSwitch() const { return m_claudeMd; }
    QPushButton* chooseButton() const { return m_choose; }
    QPushButton* cancelButton() const { return m_cancel; }
    QPushButton* createButton() const { return m_create; }

protected:
    void reject() override;

private:
    void updateCreateEnabled();

    std::function<void()> m_onCancel;
    std::function<void(const QString&)> m_onCreated;
    FolderChooser& m_chooser;

    QLineEdit* m_parentField = nullptr;
    QLineEdit* m_nameField = nullptr;
    QCheckBox* m_claudeMd = nullptr;
    QLabel* m_error = nullptr;
    QPushButton* m_choose = nullptr;
    QPushButton* m_cancel = nullptr;
    QPushButton* m_create = nullptr;
};

}  // namespace harkwell
