#pragma once
// The sheet that sends recordings already in Voice Memos: how many there are from a chosen day on
// (or all of them), and Send. Each opening starts afresh: one month back, limited to that day.

#include <QDateTime>
#include <QDialog>

#include <optional>

class QCheckBox;
class QDateEdit;
class QLabel;
class QPushButton;

namespace harkwell {

class FileSystem;

class ImportExistingSheet final : public QDialog {
    Q_OBJECT
public:
    ImportExistingSheet(const QDateTime& now, FileSystem& files, QWidget* parent);

    static constexpr int kWidth = 440;

    // The recordings that Send would queue now; 0 when the folder cannot be listed.
    int count() const;
    static QString countLine(int count);
    // The day to send from, or nothing for every recording.
    std::optional<QDateTime> since() const;

signals:
    void sendRequested(const std::optional<QDateTime>& since);

private:
    void recount();

    FileSystem& m_files;
    QDateTime m_from;
    QCheckBox* m_onlyFrom;
    QDateEdit* m_date;
    QLabel* m_count;
    QPushButton* m_send;
};

}  // namespace harkwell
