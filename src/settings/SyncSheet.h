#pragma once
// The sheet that follows a sync from the service: listing, then the items as they are written,
// then the counts or why the listing failed. Cancel asks the run to stop at its next item; Close
// (once it has ended) dismisses the sheet.

#include "pipeline/BackfillSync.h"

#include <QDialog>

#include <optional>

class QPushButton;
class QVBoxLayout;

namespace harkwell {

class SyncSheet final : public QDialog {
    Q_OBJECT
public:
    explicit SyncSheet(QWidget* parent);

    void setProgress(const std::optional<BackfillSync::Progress>& progress);
    bool hasEnded() const { return m_ended; }

signals:
    void cancelRequested();
    void doneRequested();

public slots:
    // Escape: the same as the sheet's own button.
    void reject() override;

private:

    QWidget* m_content;
    QVBoxLayout* m_contentLayout;
    QPushButton* m_button;
    bool m_ended = false;
};

}  // namespace harkwell
