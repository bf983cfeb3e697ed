#include "settings/SettingsDialog.h"

#include "settings/SettingsView.h"

#include <QMessageBox>
#include <QPushButton>

namespace harkwell {

SettingsDialog::SettingsDialog(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
}

void SettingsDialog::reject()
{
    if (!m_view || !m_view->hasEdits()) {
        QDialog::reject();
        return;
    }
    QMessageBox question(QMessageBox::Question, windowTitle(), QString::fromLatin1(kQuestion), QMessageBox::NoButton,
                         this);
    question.setWindowModality(Qt::WindowModal);
    question.setInformativeText(QStringLiteral("Closing the window without saving throws them away."));
    QPushButton* save = question.addButton(QString::fromLatin1(kSave), QMessageBox::AcceptRole);
    QPushButton* discard = question.addButton(QString::fromLatin1(kDiscard), QMessageBox::DestructiveRole);
    QPushButton* cancel = question.addButton(QString::fromLatin1(kCancel), QMessageBox::RejectRole);
    question.setDefaultButton(save);
    question.setEscapeButton(cancel);
    question.exec();
    if (question.clickedButton() == save) {
        m_view->save();
        // A file that could not be written stays on screen with its reason.
        if (!m_view->saved())
            return;
    } else if (question.clickedButton() == discard) {
        m_view->discardEdits();
    } else {
        return;
    }
    QDialog::reject();
}

}  // namespace harkwell
