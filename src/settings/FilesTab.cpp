#include "settings/FilesTab.h"

#include "foundation/Settings.h"
#include "settings/FormSection.h"
#include "settings/SettingsEditingCopy.h"

#include <QFontDatabase>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace harkwell {

FilesTab::FilesTab(SettingsEditingCopy& copy, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    auto listSection = [&](const QString& header, const QString& label, QString& text, const QString& name,
                           const QString& footer) {
        auto* section = new FormSection(header, this);
        auto* field = new QLineEdit(text, section);
        field->setObjectName(name);
        field->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        // A long list opens at its beginning, not scrolled to its end.
        field->setCursorPosition(0);
        connect(field, &QLineEdit::textChanged, this, [&text](const QString& typed) { text = typed; });
        section->addRow(label, field);
        section->setFooter(footer);
        layout->addWidget(section);
        return std::pair{section, field};
    };
    listSection(QStringLiteral("File types (whitelist)"), QStringLiteral("Include extensions:"), copy.includeExtensions,
                QStringLiteral("includeExtensions"), QStringLiteral("Comma-separated: md, pdf, docx, pptx, \u2026"));
    listSection(QStringLiteral("Excluded directories"), QStringLiteral("Exclude directories:"), copy.excludeDirs,
                QStringLiteral("excludeDirs"), QStringLiteral("Comma-separated: .git, node_modules, \u2026"));
    auto [hidden, hiddenField] = listSection(
        QStringLiteral("Hidden files"), QStringLiteral("Hide files:"), copy.excludeFiles, QStringLiteral("excludeFiles"),
        QStringLiteral("Comma-separated file names, * as a wildcard (_manifest* matches _manifest.md). Bookkeeping "
                       "files hidden from the Vault menu and from search; Outbox still reads each delivery's "
                       "_manifest.md."));
    auto* reset = new QPushButton(QStringLiteral("Reset to default"), hidden);
    connect(reset, &QPushButton::clicked, hiddenField, [field = hiddenField] {
        field->setText(SettingsEditingCopy::joinCommas(Settings::defaultExcludeFilePatterns()));
    });
    hidden->addRow(FormSection::row({reset, nullptr}, hidden));
    layout->addStretch(1);
}

}  // namespace harkwell
