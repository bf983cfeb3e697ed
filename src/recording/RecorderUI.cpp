#include "recording/RecorderUI.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace harkwell {

void RecorderUI::confirmDiscard(const QString& message, const QString& detail, std::function<void()> onConfirm)
{
    QMetaObject::invokeMethod(
        qApp,
        [message, detail, onConfirm = std::move(onConfirm)] {
            QMessageBox alert(QMessageBox::Warning, QString(), message);
            alert.setInformativeText(detail);
            QPushButton* discard = alert.addButton(QString::fromLatin1(kDiscardButton), QMessageBox::DestructiveRole);
            QPushButton* keep = alert.addButton(QString::fromLatin1(kKeepButton), QMessageBox::RejectRole);
            discard->setAutoDefault(false);
            alert.setDefaultButton(keep);
            alert.setEscapeButton(keep);
            alert.activateWindow();
            alert.exec();
            if (alert.clickedButton() == discard && onConfirm)
                onConfirm();
        },
        Qt::QueuedConnection);
}

}  // namespace harkwell
