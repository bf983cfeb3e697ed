#include "settings/ScanningTab.h"

#include "foundation/AppSettings.h"
#include "settings/FormSection.h"
#include "settings/NumberField.h"
#include "settings/SettingsEditingCopy.h"

#include <QComboBox>
#include <QLabel>
#include <QVBoxLayout>

namespace harkwell {

namespace {

QString choiceText(TimeBasis basis)
{
    switch (basis) {
    case TimeBasis::Modification: return QStringLiteral("Modified date (recommended)");
    case TimeBasis::Creation: return QStringLiteral("Created date");
    case TimeBasis::Either: return QStringLiteral("Either (most permissive)");
    }
    return {};
}

}  // namespace

ScanningTab::ScanningTab(SettingsEditingCopy& copy, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    auto* section = new FormSection(QStringLiteral("Scanning"), this);

    auto numberRow = [&](const QString& label, NumberField::Kind kind, double value, const QString& name,
                         const QString& unit, std::function<void(double)> store) {
        auto* field = new NumberField(kind, 60, section);
        field->setObjectName(name);
        field->setValue(value);
        connect(field, &NumberField::valueEdited, this, std::move(store));
        auto* unitLabel = new QLabel(unit, section);
        FormSection::setTone(unitLabel, FormSection::Tone::Secondary);
        section->addRow(label, FormSection::row({field, unitLabel, nullptr}, section));
        return field;
    };
    numberRow(QStringLiteral("Refresh interval:"), NumberField::Kind::Decimal, copy.refreshInterval,
              QStringLiteral("refreshInterval"), QStringLiteral("seconds"),
              [&copy](double value) { copy.refreshInterval = value; })
        ->setRange(AppSettings::kShortestRefreshInterval, AppSettings::kLongestRefreshInterval);
    numberRow(QStringLiteral("Menu bar window:"), NumberField::Kind::Integer, copy.recentDays,
              QStringLiteral("recentDays"), QStringLiteral("days"),
              [&copy](double value) { copy.recentDays = static_cast<int>(value); });
    numberRow(QStringLiteral("Search index window:"), NumberField::Kind::Integer, copy.searchDays,
              QStringLiteral("searchDays"), QStringLiteral("days"),
              [&copy](double value) { copy.searchDays = static_cast<int>(value); });

    auto* basis = new QComboBox(section);
    basis->setObjectName(QStringLiteral("timeBasis"));
    for (TimeBasis choice : allTimeBases())
        basis->addItem(choiceText(choice), static_cast<int>(choice));
    basis->setCurrentIndex(basis->findData(static_cast<int>(copy.timeBasis)));
    connect(basis, &QComboBox::activated, this,
            [&copy, basis](int index) { copy.timeBasis = static_cast<TimeBasis>(basis->itemData(index).toInt()); });
    section->addRow(QStringLiteral("Time basis:"), basis);

    section->setFooter(QStringLiteral("Modified is best for synced vaults (iCloud, Dropbox) -- creation dates can carry "
                                      "over from the originating machine."));
    layout->addWidget(section);
    layout->addStretch(1);
}

}  // namespace harkwell
