#include "onboarding/CreateVaultSheet.h"

#include "platform/dialogs/FolderChooser.h"
#include "onboarding/VaultDetector.h"
#include "platform/paths/Paths.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace harkwell {

namespace {

// Only blanks the user can type into a one-line field: spaces and tabs.
QString trimBlanks(const QString& text)
{
    qsizetype start = 0;
    qsizetype end = text.size();
    const auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (start < end && blank(text.at(start)))
        ++start;
    while (end > start && blank(text.at(end - 1)))
        --end;
    return text.mid(start, end - start);
}

}  // namespace

CreateVaultSheet::CreateVaultSheet(std::function<void()> onCancel, std::function<void(const QString&)> onCreated,
                                   FolderChooser& chooser, QWidget* parent)
    : QDialog(parent), m_onCancel(std::move(onCancel)), m_onCreated(std::move(onCreated)), m_chooser(chooser)
{
    setWindowTitle(QStringLiteral("Create a new vault"));
    setWindowModality(Qt::WindowModal);
    setFixedWidth(440);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(12);

    auto* title = new QLabel(QStringLiteral("Create a new vault"), this);
    QFont headline = title->font();
    headline.setBold(true);
    title->setFont(headline);
    layout->addWidget(title);

    auto* parentRow = new QHBoxLayout;
    m_parentField = new QLineEdit(Paths::home() + QStringLiteral("/Documents"), this);
    m_parentField->setPlaceholderText(QStringLiteral("Parent folder"));
    m_choose = new QPushButton(QStringLiteral("Choose\u2026"), this);
    m_choose->setAutoDefault(false);
    parentRow->addWidget(m_parentField);
    parentRow->addWidget(m_choose);
    layout->addLayout(parentRow);

    m_nameField = new QLineEdit(QStringLiteral("MyVault"), this);
    m_nameField->setPlaceholderText(QStringLiteral("Vault name"));
    layout->addWidget(m_nameField);

    m_claudeMd = new QCheckBox(QStringLiteral("Write CLAUDE.md stub for nookwise compatibility"), this);
    m_claudeMd->setChecked(true);
    m_claudeMd->setToolTip(QStringLiteral("Creates a short README at the vault root describing the layout. Opt-in."));
    layout->addWidget(m_claudeMd);

    m_error = new QLabel(this);
    m_error->setWordWrap(true);
    m_error->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette errorPalette = m_error->palette();
    errorPalette.setColor(QPalette::WindowText, Qt::red);
    m_error->setPalette(errorPalette);
    QFont caption = m_error->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.85);
    m_error->setFont(caption);
    m_error->hide();
    layout->addWidget(m_error);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setAutoDefault(false);
    m_create = new QPushButton(QStringLiteral("Create"), this);
    m_create->setDefault(true);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_create);
    layout->addLayout(buttons);

    connect(m_choose, &QPushButton::clicked, this, &CreateVaultSheet::pickParent);
    connect(m_cancel, &QPushButton::clicked, this, [this] { m_onCancel(); });
    connect(m_create, &QPushButton::clicked, this, &CreateVaultSheet::create);
    connect(m_nameField, &QLineEdit::textChanged, this, &CreateVaultSheet::updateCreateEnabled);
    updateCreateEnabled();
}

QString CreateVaultSheet::parentDir() const { return m_parentField->text(); }
QString CreateVaultSheet::vaultName() const { return m_nameField->text(); }
bool CreateVaultSheet::writeClaudeMd() const { return m_claudeMd->isChecked(); }
QString CreateVaultSheet::error() const { return m_error->isHidden() ? QString() : m_error->text(); }

void CreateVaultSheet::updateCreateEnabled() { m_create->setEnabled(!trimBlanks(vaultName()).isEmpty()); }

void CreateVaultSheet::pickParent()
{
    const QString start = Paths::expandTilde(parentDir());
    const auto chosen = m_chooser.chooseFolder(
        this, FolderPanel{QStringLiteral("Choose"), QString(), QFileInfo(start).isDir() ? start : QString()});
    if (chosen)
        m_parentField->setText(*chosen);
}

void CreateVaultSheet::create()
{
    // Return reaches here even while the button is off.
    const QString name = trimBlanks(vaultName());
    if (name.isEmpty())
        return;
    const auto created = VaultDetector::createNewVault(parentDir(), name, writeClaudeMd());
    if (!created) {
        m_error->setText(created.error().text);
        m_error->show();
        return;
    }
    m_onCreated(*created);
}

void CreateVaultSheet::reject()
{
    // Escape and the close button mean Cancel; the welcome window decides when the sheet goes.
    m_onCancel();
}

}  // namespace harkwell
