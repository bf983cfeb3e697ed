#include "settings/PathsTab.h"

#include "foundation/Opening.h"
#include "foundation/Settings.h"
#include "platform/paths/Paths.h"
#include "settings/FormSection.h"
#include "settings/NumberField.h"
#include "settings/SettingsEditingCopy.h"

#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace harkwell {

namespace {

QLabel* secondary(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    FormSection::setTone(label, FormSection::Tone::Secondary);
    return label;
}

}  // namespace

QUrl PathsTab::vaultFolderUrl(const Settings& settings, const QString& folder)
{
    return QUrl::fromLocalFile(Paths::expandTilde(settings.settings().vaultPath) + u'/' + folder);
}

PathsTab::PathsTab(SettingsEditingCopy& copy, Settings& settings, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);

    auto* paths = new FormSection(QStringLiteral("Paths"), this);
    auto* editor = new QPlainTextEdit(copy.additionalPaths, paths);
    editor->setObjectName(QStringLiteral("additionalPaths"));
    editor->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    editor->setMinimumHeight(80);
    editor->setMaximumHeight(120);
    connect(editor, &QPlainTextEdit::textChanged, this, [&copy, editor] { copy.additionalPaths = editor->toPlainText(); });
    auto* stack = new QWidget(paths);
    auto* stackLayout = new QVBoxLayout(stack);
    stackLayout->setContentsMargins(0, 0, 0, 0);
    stackLayout->setSpacing(4);
    stackLayout->addWidget(new QLabel(QStringLiteral("Additional paths:"), stack));
    stackLayout->addWidget(editor);
    paths->addRow(stack);
    auto* remotes = new QLineEdit(copy.remotesPath, paths);
    remotes->setObjectName(QStringLiteral("remotesPath"));
    connect(remotes, &QLineEdit::textEdited, this, [&copy](const QString& text) { copy.remotesPath = text; });
    paths->addRow(QStringLiteral("Remotes path:"), remotes);
    paths->setFooter(QStringLiteral(
        "Additional paths: one per line. Remotes: SSHFS mount root (scans src/*/ inside each mount)."));
    layout->addWidget(paths);

    auto* menu = new FormSection(QStringLiteral("Menu sections"), this);
    struct Row {
        const char* label;
        const char* before;
        int* field;
        const char* name;
        const char* after;
        const char* button;
        const char* folder;
    };
    const Row rows[] = {
        {"Inbox:", "group by date above", &copy.inboxGroupThreshold, "inboxGroupThreshold", "files", "Open _inbox folder",
         "_inbox"},
        {"Outbox:", "group by folder above", &copy.outboxGroupThreshold, "outboxGroupThreshold", "files",
         "Open _outbox folder", "_outbox"},
        {"Handoff:", "group by date above", &copy.handoffGroupThreshold, "handoffGroupThreshold", "files",
         "Open .handoff folder", ".handoff"},
        {"Today:", "group by folder above", &copy.todayGroupThreshold, "todayGroupThreshold", "files", nullptr, nullptr},
        {"Days listed:", "show the latest", &copy.menuDayLimit, "menuDayLimit", "days; older under \"Older\"", nullptr,
         nullptr},
    };
    for (const Row& row : rows) {
        auto* field = new NumberField(NumberField::Kind::Integer, 50, menu);
        field->setObjectName(QString::fromLatin1(row.name));
        field->setValue(*row.field);
        int* target = row.field;
        connect(field, &NumberField::valueEdited, this, [target](double value) { *target = static_cast<int>(value); });
        QPushButton* button = nullptr;
        if (row.button) {
            button = new QPushButton(QString::fromLatin1(row.button), menu);
            const QString folder = QString::fromLatin1(row.folder);
            connect(button, &QPushButton::clicked, this,
                    [&settings, folder] { Opening::openWithoutWaiting(vaultFolderUrl(settings, folder)); });
        }
        menu->addRow(QString::fromLatin1(row.label),
                     FormSection::row({secondary(QString::fromLatin1(row.before), menu), field,
                                       secondary(QString::fromLatin1(row.after), menu), nullptr, button},
                                      menu));
    }
    menu->setFooter(QStringLiteral(
        "_inbox/, _outbox/ and .handoff/ appear as their own menu sections rather than inside Recent. At or below the "
        "threshold the files are listed flat; above it Inbox, Handoff and Outbox group into per-date submenus (the "
        "Outbox by the delivery folder's date, each day holding its delivery folders; loose files on top) and only "
        "the latest days are listed, the rest under Older by month, and Today groups by top-level vault folder "
        "(every file in Today shares the same date, so folder is the useful axis). Inbox entries are dated by the "
        "timestamp in their filename, not the file's modification time, so a status update does not refile an old "
        "capture under today."));
    layout->addWidget(menu);
    layout->addStretch(1);
}

}  // namespace harkwell
