#include "settings/GeneralTab.h"

#include "foundation/Opening.h"
#include "platform/identity/Identity.h"
#include "settings/AppUpdater.h"
#include "settings/FormSection.h"
#include "settings/SettingsEditingCopy.h"
#include "settings/SettingsServices.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace harkwell {

namespace {

QUrl linkOr(const std::function<QUrl()>& link, const char* fallback)
{
    return link ? link() : QUrl(QString::fromLatin1(identity::kLinkRoot) + QString::fromLatin1(fallback));
}

QPushButton* linkButton(const QString& text, const QUrl& url, QWidget* parent)
{
    QPushButton* button = FormSection::linkButton(text, parent);
    QObject::connect(button, &QPushButton::clicked, button, [url] { Opening::openWithoutWaiting(url); });
    return button;
}

}  // namespace

QString GeneralTab::appVersion()
{
    const QString version = QString::fromLatin1(identity::kVersion);
    const QString build = QString::fromLatin1(identity::kBuildNumber);
    return QStringLiteral("%1 (%2)").arg(version.isEmpty() ? QStringLiteral("?") : version,
                                         build.isEmpty() ? QStringLiteral("?") : build);
}

QString GeneralTab::updateFooter(const QUrl& productPage)
{
    return QStringLiteral("From ") + productPage.host() +
           QStringLiteral("/mac/. harkwell checks once a day and asks before installing.");
}

GeneralTab::GeneralTab(SettingsEditingCopy& copy, const SettingsServices& services, QWidget* parent)
    : QWidget(parent), m_services(services)
{
    auto* layout = new QVBoxLayout(this);
    const QUrl productPage = linkOr(services.app.productPage, "en/mac/");
    const QUrl setupGuide = linkOr(services.app.setupGuide, "en/onboarding/");

    auto* help = new FormSection(QStringLiteral("Help"), this);
    help->addRow(linkButton(QStringLiteral("harkwell for Linux on ") + productPage.host(), productPage, help));
    help->addRow(linkButton(QStringLiteral("Setup guide, step by step"), setupGuide, help));
    help->setFooter(QStringLiteral(
        "What harkwell does, how to install, connect to Mirelon (Settings > Captures > Connect to Mirelon…: approve "
        "in the browser, no password is stored) and record, and the current download. Welcome & guide… in the menu "
        "explains the menu and the vault."));
    layout->addWidget(help);

    auto* vault = new FormSection(QStringLiteral("Vault"), this);
    auto* vaultPath = new QLineEdit(copy.vaultPath, vault);
    vaultPath->setObjectName(QStringLiteral("vaultPath"));
    connect(vaultPath, &QLineEdit::textEdited, this, [&copy](const QString& text) { copy.vaultPath = text; });
    vault->addRow(QStringLiteral("Vault path:"), vaultPath);
    auto* vaultName = new QLineEdit(copy.vaultName, vault);
    vaultName->setObjectName(QStringLiteral("vaultName"));
    connect(vaultName, &QLineEdit::textEdited, this, [&copy](const QString& text) { copy.vaultName = text; });
    vault->addRow(QStringLiteral("Vault name:"), vaultName);
    vault->setFooter(QStringLiteral("The Obsidian vault harkwell reads frontmatter from and writes capture stubs into."));
    layout->addWidget(vault);

    auto* updates = new FormSection(QStringLiteral("Updates"), this);
    auto* version = new QLabel(appVersion(), updates);
    version->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    updates->addRow(QStringLiteral("Version:"), version);
    auto* automatic = new QCheckBox(QStringLiteral("Check for updates automatically"), updates);
    automatic->setChecked(services.updater->automaticallyChecksForUpdates());
    connect(automatic, &QCheckBox::toggled, this,
            [this](bool on) { m_services.updater->setAutomaticallyChecksForUpdates(on); });
    updates->addRow(automatic);
    auto* check = new QPushButton(QStringLiteral("Check for Updates…"), updates);
    connect(check, &QPushButton::clicked, this, [this] { m_services.updater->checkForUpdates(); });
    updates->addRow(FormSection::row({check, nullptr}, updates));
    updates->setFooter(updateFooter(productPage));
    layout->addWidget(updates);

    auto* startup = new FormSection(QStringLiteral("Startup"), this);
    m_loginSwitch = new QCheckBox(QStringLiteral("Start harkwell at login"), startup);
    m_loginSwitch->setChecked(services.app.launchAtLogin && services.app.launchAtLogin());
    // The switch shows what the system reports after each attempt, not what was asked for.
    connect(m_loginSwitch, &QCheckBox::clicked, this, &GeneralTab::setLaunchAtLogin);
    startup->addRow(m_loginSwitch);
    m_loginError = FormSection::caption(QString(), startup);
    m_loginError->setObjectName(QStringLiteral("loginItemError"));
    FormSection::setTone(m_loginError, FormSection::Tone::Error);
    m_loginError->hide();
    startup->addRow(m_loginError);
    startup->setFooter(QStringLiteral("Takes effect immediately. Needed on a computer that captures Voice Memos: nothing is "
                                      "captured while harkwell is not running."));
    layout->addWidget(startup);
    layout->addStretch(1);
}

void GeneralTab::setLaunchAtLogin(bool on)
{
    const std::optional<QString> error =
        m_services.app.setLaunchAtLogin ? m_services.app.setLaunchAtLogin(on) : std::optional<QString>();
    m_loginError->setText(error.value_or(QString()));
    m_loginError->setVisible(error.has_value());
    const QSignalBlocker quiet(m_loginSwitch);
    m_loginSwitch->setChecked(m_services.app.launchAtLogin && m_services.app.launchAtLogin());
}

}  // namespace harkwell
