#include "settings/WatchedFoldersSection.h"

#include "foundation/Settings.h"
#include "platform/paths/Paths.h"
#include "platform/dialogs/FolderChooser.h"
#include "settings/FormSection.h"
#include "settings/SettingsEditingCopy.h"
#include "settings/SettingsServices.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace harkwell {

namespace {

bool isVoiceMemos(const WatchedFolder& folder) { return folder.id == QLatin1String(WatchedFolder::kVoiceMemosId); }

bool isProblem(CaptureAccess::State::Kind kind)
{
    using Kind = CaptureAccess::State::Kind;
    return kind == Kind::Empty || kind == Kind::Denied || kind == Kind::Missing || kind == Kind::Unreadable;
}

}  // namespace

WatchedFoldersSection::WatchedFoldersSection(SettingsEditingCopy& copy, const SettingsServices& services,
                                             QWidget* parent)
    : QWidget(parent), m_copy(copy), m_services(services)
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* section = new FormSection(QStringLiteral("Watched folders"), this);
    outer->addWidget(section);

    m_empty = FormSection::caption(QStringLiteral("No folders are being monitored."), section);
    section->addRow(m_empty);
    m_rows = new QWidget(section);
    m_rowsLayout = new QVBoxLayout(m_rows);
    m_rowsLayout->setContentsMargins(0, 0, 0, 0);
    section->addRow(m_rows);

    auto* add = new QPushButton(QStringLiteral("Add folder…"), section);
    connect(add, &QPushButton::clicked, this, &WatchedFoldersSection::addFolder);
    m_detect = new QPushButton(QStringLiteral("Detect Voice Memos folder"), section);
    connect(m_detect, &QPushButton::clicked, this, &WatchedFoldersSection::detectVoiceMemos);
    auto* recheck = new QPushButton(QStringLiteral("Re-check"), section);
    connect(recheck, &QPushButton::clicked, this, &WatchedFoldersSection::refreshFolderStates);
    section->addRow(FormSection::row({add, m_detect, recheck, nullptr}, section));

    m_sendExisting = new QPushButton(QStringLiteral("Send recordings already in Voice Memos…"), section);
    connect(m_sendExisting, &QPushButton::clicked, this, &WatchedFoldersSection::importRequested);
    section->addRow(FormSection::row({m_sendExisting, nullptr}, section));
    m_importMessage = FormSection::caption(QString(), section);
    m_importMessage->setObjectName(QStringLiteral("importMessage"));
    m_importMessage->hide();
    section->addRow(m_importMessage);

    m_upload = new QCheckBox(QStringLiteral("Upload to Mirelon for transcription"), section);
    m_upload->setObjectName(QStringLiteral("captureMirelon"));
    m_upload->setChecked(copy.captureMirelon);
    connect(m_upload, &QCheckBox::toggled, this, [this](bool on) {
        m_copy.captureMirelon = on;
        emit edited();
    });
    section->addRow(m_upload);
    m_keepRunning = new QCheckBox(QStringLiteral("Keep Voice Memos running in the background"), section);
    m_keepRunning->setObjectName(QStringLiteral("keepVoiceMemosRunning"));
    m_keepRunning->setChecked(copy.keepVoiceMemosRunning);
    connect(m_keepRunning, &QCheckBox::toggled, this, [this](bool on) { m_copy.keepVoiceMemosRunning = on; });
    section->addRow(m_keepRunning);
    section->addRow(FormSection::caption(
        QStringLiteral("With iCloud, recordings only arrive as files while Voice Memos is open. Turn this on for a computer "
                       "that captures; leave it off on a computer with little free disk, since Voice Memos then downloads "
                       "the whole library."),
        section));
    section->setFooter(QStringLiteral(
        "harkwell copies new files from each enabled folder into <vault>/_inbox/.audio/<id>.m4a and writes a stub "
        "markdown. The Voice Memos folder needs Full Disk Access. Uploading requires Mirelon credentials below."));

    rebuildRows();
    refresh();
}

void WatchedFoldersSection::addFolder()
{
    const std::optional<QString> chosen = m_services.folderChooser->chooseFolder(
        this, {QStringLiteral("Watch this folder"),
               QStringLiteral("Choose a folder for harkwell to monitor for new audio files."), QString()});
    if (!chosen || chosen->isEmpty())
        return;
    const WatchedFolder folder = WatchedFolder::generic(*chosen);
    if (std::any_of(m_copy.watchedFolders.begin(), m_copy.watchedFolders.end(),
                    [&](const WatchedFolder& f) { return f.id == folder.id; }))
        return;
    m_copy.watchedFolders.append(folder);
    refreshFolderStates();
}

void WatchedFoldersSection::removeFolder(const QString& id)
{
    m_copy.watchedFolders.removeIf([&](const WatchedFolder& f) { return f.id == id; });
    m_folderStates.remove(id);
    rebuildRows();
    refresh();
}

void WatchedFoldersSection::detectVoiceMemos()
{
    const QString path = CaptureAccess::voiceMemosUrl();
    if (m_copy.hasVoiceMemosFolder())
        return;
    m_copy.watchedFolders.prepend(WatchedFolder{QString::fromLatin1(WatchedFolder::kVoiceMemosId), path,
                                                QStringLiteral("Voice Memos"), true, {},
                                                WatchedFolder::Normaliser::VoiceMemos});
    refreshFolderStates();
}

void WatchedFoldersSection::refreshFolderStates()
{
    QMap<QString, CaptureAccess::State> states;
    for (const WatchedFolder& folder : std::as_const(m_copy.watchedFolders)) {
        const QString location = isVoiceMemos(folder) ? CaptureAccess::voiceMemosUrl() : Paths::expandTilde(folder.path);
        QSet<QString> extensions;
        for (const QString& extension : folder.extensions)
            extensions.insert(extension.toLower());
        if (extensions.isEmpty())
            extensions = CaptureAccess::audioExtensions();
        // Probed as if on, so a folder switched off still says whether it could be read.
        states.insert(folder.id, CaptureAccess::check(location, extensions, true, *m_services.files));
    }
    m_folderStates = states;
    rebuildRows();
    refresh();
}

void WatchedFoldersSection::refresh()
{
    m_empty->setVisible(m_copy.watchedFolders.isEmpty());
    m_detect->setVisible(!m_copy.hasVoiceMemosFolder());
    const QList<WatchedFolder> saved = m_services.settings->enabledWatchedFolders();
    const bool savedVoiceMemos = std::any_of(saved.begin(), saved.end(), isVoiceMemos);
    m_sendExisting->setVisible(savedVoiceMemos);
    m_importMessage->setVisible(savedVoiceMemos && !m_importMessage->text().isEmpty());
    // Switched-off controls keep their values; they only wait for a folder to be on.
    m_upload->setEnabled(m_copy.anyFolderEnabled());
    m_keepRunning->setEnabled(m_copy.voiceMemosEnabled());
    emit edited();
}

void WatchedFoldersSection::setImportMessage(const QString& message)
{
    m_importMessage->setText(message);
    refresh();
}

void WatchedFoldersSection::rebuildRows()
{
    // A row may be rebuilt from inside one of its own buttons' clicks: it goes once that returns.
    while (QLayoutItem* item = m_rowsLayout->takeAt(0)) {
        QWidget* old = item->widget();
        old->hide();
        old->setParent(nullptr);
        old->deleteLater();
        delete item;
    }
    for (int index = 0; index < m_copy.watchedFolders.size(); ++index) {
        QWidget* row = folderRow(index);
        m_rowsLayout->addWidget(row);
        row->show();
    }
}

QWidget* WatchedFoldersSection::folderRow(int index)
{
    const WatchedFolder folder = m_copy.watchedFolders.at(index);
    auto* row = new QWidget(m_rows);
    row->setObjectName(QStringLiteral("folder:") + folder.id);
    auto* layout = new QVBoxLayout(row);
    layout->setContentsMargins(0, 2, 0, 2);
    layout->setSpacing(2);

    // A folder's name is shown as it is: an "&" is no keyboard mnemonic here.
    auto* enabled = new QCheckBox(QString(folder.displayName).replace(u'&', QStringLiteral("&&")), row);
    enabled->setChecked(folder.enabled);
    const QString id = folder.id;
    connect(enabled, &QCheckBox::toggled, this, [this, id](bool on) {
        for (WatchedFolder& f : m_copy.watchedFolders) {
            if (f.id == id)
                f.enabled = on;
        }
        refresh();
    });
    QPushButton* remove = nullptr;
    if (!isVoiceMemos(folder)) {
        remove = new QPushButton(QStringLiteral("Remove"), row);
        remove->setFlat(true);
        connect(remove, &QPushButton::clicked, this, [this, id] { removeFolder(id); });
    }
    layout->addWidget(FormSection::row({enabled, nullptr, remove}, row));

    auto* path = new QLabel(row);
    path->setTextFormat(Qt::PlainText);
    path->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    path->setText(path->fontMetrics().elidedText(folder.path, Qt::ElideMiddle, 460));
    path->setToolTip(folder.path);
    FormSection::setTone(path, FormSection::Tone::Secondary);
    layout->addWidget(path);

    const auto state = m_folderStates.constFind(folder.id);
    if (state == m_folderStates.constEnd())
        return row;
    auto* summary = new QLabel(state->summary(folder.displayName), row);
    summary->setObjectName(QStringLiteral("summary"));
    summary->setTextFormat(Qt::PlainText);
    FormSection::setTone(summary, isProblem(state->kind()) ? FormSection::Tone::Warning : FormSection::Tone::Secondary);
    layout->addWidget(summary);
    if (state->kind() == CaptureAccess::State::Kind::Denied) {
        auto* open = new QPushButton(QStringLiteral("Open Full Disk Access settings…"), row);
        open->setDefault(false);
        connect(open, &QPushButton::clicked, this, [] { CaptureAccess::openFullDiskAccessSettings(); });
        auto* restart = new QPushButton(QStringLiteral("Restart harkwell"), row);
        connect(restart, &QPushButton::clicked, this, [this] {
            if (m_services.app.promptAndRelaunch)
                m_services.app.promptAndRelaunch(QString::fromLatin1(kFullDiskAccessRestartReason));
        });
        auto* remedies = FormSection::row({open, restart, nullptr}, row, 10);
        remedies->layout()->setContentsMargins(0, 4, 0, 4);
        layout->addWidget(remedies);
    }
    if (isProblem(state->kind())) {
        auto* explanation = FormSection::caption(state->explanation(), row);
        explanation->setObjectName(QStringLiteral("explanation"));
        layout->addWidget(explanation);
    }
    return row;
}

}  // namespace harkwell
