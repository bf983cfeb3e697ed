#include "settings/SyncSheet.h"

#include "settings/FormSection.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace harkwell {

namespace {

QLabel* bold(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

}  // namespace

SyncSheet::SyncSheet(QWidget* parent) : QDialog(parent)
{
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QStringLiteral("Sync from Mirelon"));
    setFixedSize(420, 220);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(16);
    layout->addWidget(bold(QStringLiteral("Sync from Mirelon"), this));
    m_content = new QWidget(this);
    m_contentLayout = new QVBoxLayout(m_content);
    m_contentLayout->setContentsMargins(0, 0, 0, 0);
    m_contentLayout->setSpacing(8);
    layout->addWidget(m_content, 1);
    m_button = new QPushButton(this);
    connect(m_button, &QPushButton::clicked, this, [this] { m_ended ? emit doneRequested() : emit cancelRequested(); });
    layout->addWidget(FormSection::row({nullptr, m_button}, this));
    setProgress(std::nullopt);
}

void SyncSheet::reject() { m_button->click(); }

void SyncSheet::setProgress(const std::optional<BackfillSync::Progress>& progress)
{
    while (QLayoutItem* item = m_contentLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    using Kind = BackfillSync::Progress::Kind;
    const Kind kind = progress ? progress->kind : Kind::Listing;
    auto add = [this](QWidget* widget) {
        m_contentLayout->addWidget(widget);
        widget->show();
    };
    auto currentLine = [&] {
        if (!progress->currentTitle || progress->currentTitle->isEmpty())
            return;
        auto* line = FormSection::caption(QString(), m_content);
        line->setWordWrap(false);
        line->setText(line->fontMetrics().elidedText(QStringLiteral("Current: ") + *progress->currentTitle,
                                                     Qt::ElideMiddle, 380));
        add(line);
    };
    switch (kind) {
    case Kind::Listing: {
        auto* busy = new QProgressBar(m_content);
        busy->setRange(0, 0);
        add(busy);
        auto* text = new QLabel(QStringLiteral("Listing your Mirelon sources…"), m_content);
        FormSection::setTone(text, FormSection::Tone::Secondary);
        add(text);
        break;
    }
    case Kind::Syncing:
        if (progress->total < 1) {
            auto* text = new QLabel(QStringLiteral("Nothing to sync — your vault is already up to date."), m_content);
            FormSection::setTone(text, FormSection::Tone::Secondary);
            add(text);
        } else {
            auto* bar = new QProgressBar(m_content);
            bar->setRange(0, progress->total);
            bar->setValue(std::min(progress->done, progress->total));
            add(bar);
            add(new QLabel(QStringLiteral("%1 of %2 synced").arg(progress->done).arg(progress->total), m_content));
        }
        currentLine();
        break;
    case Kind::Finished:
        add(bold(QStringLiteral("Done."), m_content));
        add(new QLabel(QStringLiteral("Synced: %1").arg(progress->synced), m_content));
        add(new QLabel(QStringLiteral("Already in vault (skipped): %1").arg(progress->skipped), m_content));
        if (progress->failed >= 1) {
            auto* failed = new QLabel(QStringLiteral("Failed: %1").arg(progress->failed), m_content);
            FormSection::setTone(failed, FormSection::Tone::Warning);
            add(failed);
        }
        break;
    case Kind::Failed: {
        auto* title = bold(QStringLiteral("Sync failed"), m_content);
        FormSection::setTone(title, FormSection::Tone::Error);
        add(title);
        auto* reason = FormSection::caption(progress->error ? progress->error->text() : QString(), m_content);
        reason->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        add(reason);
        break;
    }
    }
    m_contentLayout->addStretch(1);
    m_ended = kind == Kind::Finished || kind == Kind::Failed;
    m_button->setText(m_ended ? QStringLiteral("Close") : QStringLiteral("Cancel"));
    m_button->setDefault(m_ended);
    m_button->setAutoDefault(m_ended);
}

}  // namespace harkwell
