#include "settings/ImportExistingSheet.h"

#include "capture/CaptureImport.h"
#include "settings/FormSection.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace harkwell {

ImportExistingSheet::ImportExistingSheet(const QDateTime& now, FileSystem& files, QWidget* parent)
    : QDialog(parent), m_files(files)
{
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QStringLiteral("Send recordings already in Voice Memos"));
    setFixedWidth(kWidth);
    const QDateTime local = now.toLocalTime();
    const QDateTime monthBack = local.addMonths(-1);
    m_from = monthBack.isValid() ? monthBack : local;

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(12);
    auto* title = new QLabel(QStringLiteral("Send recordings already in Voice Memos"), this);
    QFont font = title->font();
    font.setBold(true);
    title->setFont(font);
    layout->addWidget(title);
    auto* text = new QLabel(
        QStringLiteral("harkwell sends only what is recorded after it starts watching. This sends the recordings that "
                       "were already there: each is copied into the vault, uploaded and transcribed. Recordings Mirelon "
                       "already has are not transcribed again, and transcripts already in the vault are kept."),
        this);
    text->setWordWrap(true);
    FormSection::setTone(text, FormSection::Tone::Secondary);
    // A window's height is not worked out from its wrapped texts: the explanation asks for all
    // its lines at the sheet's fixed width itself.
    const QMargins margins = layout->contentsMargins();
    text->setMinimumHeight(text->heightForWidth(kWidth - margins.left() - margins.right()));
    layout->addWidget(text);

    m_onlyFrom = new QCheckBox(QStringLiteral("Only recordings from"), this);
    m_onlyFrom->setChecked(true);
    layout->addWidget(m_onlyFrom);
    m_date = new QDateEdit(m_from.date(), this);
    m_date->setObjectName(QStringLiteral("from"));
    m_date->setCalendarPopup(true);
    layout->addWidget(m_date);
    m_count = FormSection::caption(QString(), this);
    m_count->setObjectName(QStringLiteral("count"));
    layout->addWidget(m_count);

    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    m_send = new QPushButton(QStringLiteral("Send"), this);
    m_send->setDefault(true);
    connect(m_send, &QPushButton::clicked, this, [this] {
        const std::optional<QDateTime> from = since();
        accept();
        emit sendRequested(from);
    });
    layout->addWidget(FormSection::row({nullptr, cancel, m_send}, this));

    connect(m_onlyFrom, &QCheckBox::toggled, this, [this](bool on) {
        m_date->setEnabled(on);
        recount();
    });
    connect(m_date, &QDateEdit::dateChanged, this, [this](QDate date) {
        m_from.setDate(date);
        recount();
    });
    recount();
}

std::optional<QDateTime> ImportExistingSheet::since() const
{
    return m_onlyFrom->isChecked() ? std::optional<QDateTime>(m_from) : std::nullopt;
}

int ImportExistingSheet::count() const
{
    const auto recordings = CaptureImport::voiceMemosRecordings(since(), m_files);
    return recordings ? static_cast<int>(recordings->names.size()) : 0;
}

QString ImportExistingSheet::countLine(int count)
{
    return QStringLiteral("%1 recording%2 will be sent, one at a time.").arg(count).arg(count == 1 ? "" : "s");
}

void ImportExistingSheet::recount()
{
    // Listed afresh each time: recordings come and go while the sheet is open.
    const int recordings = count();
    m_count->setText(countLine(recordings));
    m_send->setEnabled(recordings != 0);
}

}  // namespace harkwell
