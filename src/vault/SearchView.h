#pragma once
// The whole content of the search panel, 600 by 420: the search header (field, switches, status
// line, scope and extension chips) or, in folder mode, the folder header; the file list; and a
// bar of key hints. It keeps no search state: it draws the index's state whenever the index
// changes, and every control and key calls the index, the file actions or the dismiss action.

#include "foundation/FileEntry.h"

#include <QWidget>

#include <functional>

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QToolButton;
class QHBoxLayout;

namespace harkwell {

class SearchFileActions;
class SearchIndex;
class SearchTextField;
class Settings;

class SearchView final : public QWidget {
    Q_OBJECT
public:
    SearchView(SearchIndex& index, SearchFileActions& actions, Settings& settings, std::function<void()> onDismiss,
               QWidget* parent = nullptr);

    SearchTextField* searchField() const { return m_field; }
    QListWidget* fileList() const { return m_list; }
    // The text standing in for an empty list, or nothing while the list has rows.
    QString emptyText() const;
    // The index's notice as shown above the key hints, or nothing.
    QString noticeText() const;
    // The number the status line gives in "Last %lld days".
    static int lookBackDays(const Settings& settings);

    static constexpr int kWidth = 600;
    static constexpr int kHeight = 420;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // What each key and control does; shared by the field's callbacks.
    void arrowLeft();
    void openSelectedAndDismiss();
    void escape();
    void toggleFilterGroup(const QStringList& extensions);

    QWidget* makeSearchHeader();
    QWidget* makeFolderHeader();
    QWidget* makeHintBar();
    QPushButton* makeChip(const QString& title);
    void styleChip(QPushButton* chip, bool on) const;

    void refresh();
    void refreshList();

    SearchIndex& m_index;
    SearchFileActions& m_actions;
    Settings& m_settings;
    std::function<void()> m_onDismiss;

    QStackedWidget* m_header = nullptr;
    SearchTextField* m_field = nullptr;
    QToolButton* m_systemFilesButton = nullptr;
    QToolButton* m_deepButton = nullptr;
    QProgressBar* m_spinner = nullptr;
    QLabel* m_scanningLabel = nullptr;
    QPushButton* m_daysButton = nullptr;
    QLabel* m_fileCountLabel = nullptr;
    QLabel* m_resultsLabel = nullptr;
    QList<QPushButton*> m_scopeChips;
    QList<QPushButton*> m_filterChips;
    QPushButton* m_clearButton = nullptr;

    QLabel* m_folderTitle = nullptr;
    QToolButton* m_sortButton = nullptr;
    QLabel* m_folderCountLabel = nullptr;
    QLabel* m_folderSortLabel = nullptr;

    QStackedWidget* m_body = nullptr;
    QListWidget* m_list = nullptr;
    QLabel* m_emptyLabel = nullptr;
    QLabel* m_noticeLabel = nullptr;
    QList<QWidget*> m_folderHints;
    QWidget* m_searchHint = nullptr;

    QList<FileEntry> m_shown;  // what the list holds now
    int m_shownSelection = -1;
    bool m_wasFolderMode = false;
};

}  // namespace harkwell
