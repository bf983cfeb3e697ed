#pragma once
// Owns the floating search panel: builds it once over one SearchIndex, resets the search and puts
// the caret into the field at every show, and watches every key of the application while the
// panel is visible: Ctrl-D, -F, -M, -P and -S reach the panel's commands from any window, and in
// folder mode Return, Escape and the arrows drive the folder list. Main thread only.

#include "vault/SearchFileActions.h"
#include "vault/SearchIndex.h"

#include <QColor>
#include <QObject>
#include <QPointer>

#include <memory>
#include <optional>

class QWidget;

namespace harkwell {

class FileScanner;
class SearchView;
class Settings;

class SearchWindowController final : public QObject {
    Q_OBJECT
public:
    static SearchWindowController& shared();
    // The shared controller uses Settings::shared(), the real deep listing and the desktop's services.
    SearchWindowController(Settings& settings, SearchIndex::FullListing fullListing,
                           SearchFileActions::Services services, QObject* parent = nullptr);
    ~SearchWindowController() override;

    // The application's scanner; set before the first show(), or the panel stays empty for good.
    void setScanner(FileScanner* scanner) { m_scanner = scanner; }
    FileScanner* scanner() const { return m_scanner; }
    // The colour the panel's selected rows and chips are drawn in; set before the first show().
    void setTint(const QColor& tint) { m_tint = tint; }

    // Null until the first show(). The hot-key action hides it when visible, else calls show().
    QWidget* panel() const { return m_panel; }
    SearchIndex* searchIndex() const { return m_index.get(); }
    SearchFileActions* fileActions() const { return m_actions.get(); }
    SearchView* view() const { return m_view; }

    void show();
    // Hides the panel; the next show() brings back the same one.
    void orderOut();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createPanel();
    void focusTextField();
    void installKeyMonitor();
    bool handleCommandKey(int key);
    bool handleFolderKey(int key);

    Settings& m_settings;
    SearchIndex::FullListing m_fullListing;
    SearchFileActions::Services m_services;
    std::optional<QColor> m_tint;

    QPointer<QWidget> m_panel;
    QPointer<FileScanner> m_scanner;
    std::unique_ptr<SearchIndex> m_index;
    std::unique_ptr<SearchFileActions> m_actions;
    SearchView* m_view = nullptr;
    bool m_monitorInstalled = false;
};

}  // namespace harkwell
