#pragma once
// The welcome window's content: a short guide, the vaults found on this machine, and two ways to
// get a vault otherwise (create one, or use any folder). Choosing one commits it into the settings
// and completes the window; the footer button completes it without a choice.

#include "onboarding/CreateVaultSheet.h"
#include "onboarding/VaultCandidate.h"
#include "onboarding/WelcomeBranding.h"

#include <QList>
#include <QPointer>
#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

namespace harkwell {

class ActionCard;
class FolderChooser;
class VaultRow;

class WelcomeView final : public QWidget {
    Q_OBJECT
public:
    using Detector = std::function<QList<VaultCandidate>()>;

    WelcomeView(std::function<void()> onComplete, Detector detector, FolderChooser& chooser,
                const WelcomeBranding& branding, QWidget* parent = nullptr);

    const QList<VaultCandidate>& candidates() const { return m_candidates; }
    bool isLoading() const { return m_loading; }
    bool isShowingCreateSheet() const { return m_sheet != nullptr; }
    CreateVaultSheet* createSheet() const { return m_sheet; }

    // Runs detection off the main thread, unless a run is under way already; the list of the run
    // that ends replaces the shown one.
    void loadCandidates();
    // Makes `path` ("~" allowed) Harkwell's vault: outbox, settings, save, completion.
    void commitVault(const QString& path, const QString& vaultName);
    void pickCustomFolder();
    void showCreateSheet();

    // What the window shows, for those who drive it.
    QList<VaultRow*> rows() const;
    QString heading() const;  // empty while there is none
    QString emptyText() const;
    QString loadingText() const;
    QPushButton* footerButton() const { return m_footerButton; }
    // Why the last save failed; empty while it did not.
    QString saveErrorText() const;
    ActionCard* createCard() const { return m_createCard; }
    ActionCard* customFolderCard() const { return m_customCard; }
    QString guideLinkText() const;

    QSize sizeHint() const override;
    static constexpr int kWidth = 580;
    static constexpr int kHeight = 680;
    static constexpr int kMinimumWidth = 460;
    static constexpr int kMinimumHeight = 420;

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildContent();
    QWidget* buildGuide();
    QWidget* buildFooter();
    void takeCandidates(const QList<VaultCandidate>& candidates);
    void showCandidates();
    // The heading and footer follow whether a settings file exists, which may change at any time.
    void refreshSettingsTexts();
    void hideCreateSheet();
    // Writes the settings file, then completes the window; a failed write keeps it open with the reason.
    void saveAndComplete();

    std::function<void()> m_onComplete;
    Detector m_detector;
    FolderChooser& m_chooser;
    WelcomeBranding m_branding;

    QList<VaultCandidate> m_candidates;
    bool m_loading = true;

    QStackedWidget* m_stack = nullptr;
    QLabel* m_loadingLabel = nullptr;
    QLabel* m_heading = nullptr;
    QLabel* m_emptyText = nullptr;
    QLabel* m_currentVault = nullptr;  // the vault in use when no row shows it
    QLabel* m_guideLink = nullptr;
    QVBoxLayout* m_rowsLayout = nullptr;
    QPushButton* m_footerButton = nullptr;
    QLabel* m_saveError = nullptr;
    ActionCard* m_createCard = nullptr;
    ActionCard* m_customCard = nullptr;
    QPointer<CreateVaultSheet> m_sheet;
};

}  // namespace harkwell
