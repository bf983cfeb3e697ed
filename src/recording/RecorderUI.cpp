#include "recording/RecorderUI.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace harkwell {

void RecorderUI::confirmDiscard(QWidget* window, const QString& message, const QString& detail,
                                std::function<void()> onConfirm)
{
    QMetaObject::invokeMethod(
        qApp,
        [window = QPointer<QWidget>(window), parented = window != nullptr, message, detail,
         onConfirm = std::move(onConfirm)] {
            // The panel it belonged to closed meanwhile: nothing is left to ask about there.
            if (parented && !window)
                return;
            auto* alert = new QMessageBox(QMessageBox::Warning, QString::fromLatin1(kTitle), message,
                                          QMessageBox::NoButton, window);
            alert->setAttribute(Qt::WA_DeleteOnClose);
            alert->setWindowModality(Qt::WindowModal);
            if (!window)
                alert->setWindowFlag(Qt::WindowStaysOnTopHint);
            alert->setInformativeText(detail);
            QPushButton* discard = alert->addButton(QString::fromLatin1(kDiscardButton), QMessageBox::DestructiveRole);
            QPushButton* keep = alert->addButton(QString::fromLatin1(kKeepButton), QMessageBox::RejectRole);
            discard->setAutoDefault(false);
            alert->setDefaultButton(keep);
            alert->setEscapeButton(keep);
            QObject::connect(alert, &QMessageBox::finished, alert, [alert, discard, onConfirm] {
                if (alert->clickedButton() == discard && onConfirm)
                    onConfirm();
            });
            alert->open();
            alert->raise();
            alert->activateWindow();
        },
        Qt::QueuedConnection);
}

}  // namespace harkwell
