#include "vault/SearchView.h"

#include "foundation/Contrast.h"
#include "foundation/Counted.h"
#include "foundation/Settings.h"
#include "foundation/Symbols.h"
#include "vault/SearchFileActions.h"
#include "vault/SearchIndex.h"
#include "vault/SearchResultRow.h"
#include "vault/SearchTextField.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace harkwell {

namespace {

QFont scaled(const QFont& base, double points, bool bold = false)
{
    QFont font = base;
    font.setPointSizeF(std::max(6.0, base.pointSizeF() + points));
    font.setWeight(bold ? QFont::DemiBold : QFont::Normal);
    return font;
}

// The sizes of the platform's text styles, relative to the body text.
QFont title2(const QFont& base) { return scaled(base, 4); }
QFont title3(const QFont& base) { return scaled(base, 2); }
QFont caption2(const QFont& base, bool bold = false) { return scaled(base, -3, bold); }

QString rgba(QColor colour, double alpha)
{
    return QStringLiteral("rgba(%1,%2,%3,%4)")
        .arg(colour.red())
        .arg(colour.green())
        .arg(colour.blue())
        .arg(int(alpha * 255));
}

QLabel* styledLabel(const QString& text, const QFont& font, double alpha, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    QPalette palette = label->palette();
    QColor colour = palette.color(QPalette::WindowText);
    colour.setAlphaF(float(alpha));
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

constexpr double kSecondary = 0.6;
constexpr double kTertiary = 0.4;

// The accent for what is switched on: the palette's highlight, made to stand out from the window.
QColor accent(const QPalette& palette)
{
    return Contrast::readable(palette.color(QPalette::Highlight), palette.color(QPalette::Window), Contrast::kGraphic);
}

void setSymbol(QToolButton* button, Symbols::Kind kind, bool on = false)
{
    const QPalette& palette = button->palette();
    button->setIcon(Symbols::icon(kind, on ? accent(palette) : Contrast::secondaryText(palette)));
}

QToolButton* symbolButton(Symbols::Kind kind, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setIconSize(QSize(18, 18));
    setSymbol(button, kind);
    return button;
}

QFrame* divider(QWidget* parent)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedHeight(1);
    return line;
}

}  // namespace

SearchView::SearchView(SearchIndex& index, SearchFileActions& actions, Settings& settings,
                       std::function<void()> onDismiss, QWidget* parent)
    : QWidget(parent), m_index(index), m_actions(actions), m_settings(settings), m_onDismiss(std::move(onDismiss))
{
    setFixedSize(kWidth, kHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_header = new QStackedWidget(this);
    m_header->addWidget(makeSearchHeader());
    m_header->addWidget(makeFolderHeader());
    m_header->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    layout->addWidget(m_header);
    layout->addWidget(divider(this));

    m_body = new QStackedWidget(this);
    m_list = new QListWidget(m_body);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setFocusPolicy(Qt::NoFocus);
    m_list->setItemDelegate(new SearchResultRow(m_list));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setUniformItemSizes(true);
    m_emptyLabel = styledLabel(QString(), font(), kTertiary, m_body);
    m_emptyLabel->setAlignment(Qt::AlignCenter);
    m_body->addWidget(m_list);
    m_body->addWidget(m_emptyLabel);
    layout->addWidget(m_body, 1);
    m_noticeLabel = styledLabel(QString(), caption2(font()), kSecondary, this);
    m_noticeLabel->setContentsMargins(12, 4, 12, 4);
    m_noticeLabel->setWordWrap(true);
    m_noticeLabel->hide();
    layout->addWidget(m_noticeLabel);
    layout->addWidget(divider(this));
    layout->addWidget(makeHintBar());

    connect(m_list, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
        m_index.setSelectedIndex(m_list->row(item));
        openSelectedAndDismiss();
    });
    connect(&m_index, &SearchIndex::changed, this, &SearchView::refresh);
    refresh();
}

QWidget* SearchView::makeSearchHeader()
{
    auto* header = new QWidget(this);
    auto* rows = new QVBoxLayout(header);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);

    auto* searchRow = new QHBoxLayout;
    searchRow->setContentsMargins(12, 12, 12, 12);
    searchRow->setSpacing(8);
    auto* glass = new QLabel(header);
    glass->setPixmap(Symbols::icon(Symbols::Kind::MagnifyingGlass, Contrast::secondaryText(palette())).pixmap(22, 22));
    searchRow->addWidget(glass);

    SearchTextField::Callbacks callbacks;
    callbacks.onArrowUp = [this] { m_index.moveUp(); };
    callbacks.onArrowDown = [this] { m_index.moveDown(); };
    callbacks.onArrowRight = [this] { m_index.drillIntoFolder(); };
    callbacks.onArrowLeft = [this] { arrowLeft(); };
    callbacks.onReturn = [this] { openSelectedAndDismiss(); };
    callbacks.onEscape = [this] { escape(); };
    callbacks.onCmdM = [this] {
        m_actions.mailSelected();
        m_onDismiss();
    };
    callbacks.onCmdP = [this] { m_actions.pdfSelected(); };
    callbacks.onCmdS = [this] { m_index.setFolderSortByName(!m_index.folderSortByName()); };
    callbacks.onCmdF = [this] {
        m_actions.revealSelected();
        m_onDismiss();
    };
    callbacks.onCmdD = [this] { m_actions.deleteSelected(); };
    m_field = new SearchTextField(std::move(callbacks), header);
    connect(m_field, &SearchTextField::edited, this, [this](const QString& text) { m_index.setQuery(text); });
    searchRow->addWidget(m_field, 1);

    m_systemFilesButton = symbolButton(Symbols::Kind::Eye, header);
    connect(m_systemFilesButton, &QToolButton::clicked, this,
            [this] { m_index.setHideSystemFiles(!m_index.hideSystemFiles()); });
    searchRow->addWidget(m_systemFilesButton);
    m_deepButton = symbolButton(Symbols::Kind::DeepSearch, header);
    connect(m_deepButton, &QToolButton::clicked, this, [this] { m_index.setDeepSearch(!m_index.isDeepSearch()); });
    searchRow->addWidget(m_deepButton);
    rows->addLayout(searchRow);

    auto* statusRow = new QHBoxLayout;
    statusRow->setContentsMargins(12, 2, 12, 8);
    statusRow->setSpacing(6);
    m_spinner = new QProgressBar(header);
    m_spinner->setRange(0, 0);
    m_spinner->setTextVisible(false);
    m_spinner->setFixedSize(16, 8);
    statusRow->addWidget(m_spinner);
    m_scanningLabel = styledLabel(QStringLiteral("Scanning all files\u2026"), caption2(font()), kSecondary, header);
    statusRow->addWidget(m_scanningLabel);
    m_daysButton = new QPushButton(header);
    m_daysButton->setFlat(true);
    m_daysButton->setFocusPolicy(Qt::NoFocus);
    m_daysButton->setFont(caption2(font()));
    connect(m_daysButton, &QPushButton::clicked, this, [this] { m_index.setDeepSearch(!m_index.isDeepSearch()); });
    statusRow->addWidget(m_daysButton);
    m_fileCountLabel = styledLabel(QString(), caption2(font()), kTertiary, header);
    statusRow->addWidget(m_fileCountLabel);
    statusRow->addStretch(1);
    m_resultsLabel = styledLabel(QString(), caption2(font()), kTertiary, header);
    statusRow->addWidget(m_resultsLabel);
    rows->addLayout(statusRow);

    auto* scopeRow = new QHBoxLayout;
    scopeRow->setContentsMargins(12, 3, 12, 0);
    scopeRow->setSpacing(6);
    for (const SearchIndex::Scope scope : SearchIndex::allScopes()) {
        QPushButton* chip = makeChip(SearchIndex::toRawValue(scope));
        connect(chip, &QPushButton::clicked, this, [this, scope] { m_index.setScope(scope); });
        m_scopeChips.append(chip);
        scopeRow->addWidget(chip);
    }
    scopeRow->addStretch(1);
    rows->addLayout(scopeRow);

    auto* filterRow = new QHBoxLayout;
    filterRow->setContentsMargins(12, 3, 12, 3);
    filterRow->setSpacing(6);
    for (const SearchIndex::FilterGroup& group : SearchIndex::filterGroups()) {
        QPushButton* chip = makeChip(group.label);
        const QStringList extensions = group.extensions;
        connect(chip, &QPushButton::clicked, this, [this, extensions] { toggleFilterGroup(extensions); });
        m_filterChips.append(chip);
        filterRow->addWidget(chip);
    }
    filterRow->addStretch(1);
    m_clearButton = new QPushButton(QStringLiteral("Clear"), header);
    m_clearButton->setFlat(true);
    m_clearButton->setFocusPolicy(Qt::NoFocus);
    m_clearButton->setFont(caption2(font()));
    connect(m_clearButton, &QPushButton::clicked, this, [this] { m_index.setActiveExtFilters({}); });
    filterRow->addWidget(m_clearButton);
    rows->addLayout(filterRow);
    return header;
}

QWidget* SearchView::makeFolderHeader()
{
    auto* header = new QWidget(this);
    auto* rows = new QVBoxLayout(header);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);

    auto* titleRow = new QHBoxLayout;
    titleRow->setContentsMargins(12, 12, 12, 12);
    titleRow->setSpacing(8);
    QToolButton* back = symbolButton(Symbols::Kind::ChevronLeft, header);
    back->setFont(title2(font()));
    back->setToolTip(QStringLiteral("Back to search"));
    connect(back, &QToolButton::clicked, this, [this] { m_index.exitFolderMode(); });
    titleRow->addWidget(back);
    auto* folderSymbol = new QLabel(header);
    folderSymbol->setPixmap(Symbols::icon(Symbols::Kind::Folder, accent(palette())).pixmap(20, 20));
    titleRow->addWidget(folderSymbol);
    m_folderTitle = new QLabel(header);
    m_folderTitle->setFont(title3(font()));
    m_folderTitle->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    titleRow->addWidget(m_folderTitle, 1);
    m_sortButton = symbolButton(Symbols::Kind::SortByName, header);
    connect(m_sortButton, &QToolButton::clicked, this,
            [this] { m_index.setFolderSortByName(!m_index.folderSortByName()); });
    titleRow->addWidget(m_sortButton);
    rows->addLayout(titleRow);

    auto* statusRow = new QHBoxLayout;
    statusRow->setContentsMargins(12, 2, 12, 8);
    statusRow->setSpacing(6);
    m_folderCountLabel = styledLabel(QString(), caption2(font()), kSecondary, header);
    statusRow->addWidget(m_folderCountLabel);
    m_folderSortLabel = styledLabel(QString(), caption2(font()), kTertiary, header);
    statusRow->addWidget(m_folderSortLabel);
    statusRow->addStretch(1);
    rows->addLayout(statusRow);
    return header;
}

QWidget* SearchView::makeHintBar()
{
    auto* bar = new QWidget(this);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(12, 6, 12, 6);
    row->setSpacing(8);
    enum class Shown { Always, FolderMode, SearchMode };
    const struct {
        const char* key;
        const char* label;
        Shown shown;
    } hints[] = {
        {"↵", "Open", Shown::Always},          {"←", "Back", Shown::FolderMode},     {"Ctrl+S", "Sort", Shown::FolderMode},
        {"→", "Folder", Shown::SearchMode},    {"Ctrl+M", "Mail", Shown::Always},    {"Ctrl+P", "PDF", Shown::Always},
        {"Ctrl+F", "Files", Shown::Always},    {"Ctrl+D", "Delete", Shown::Always},  {"esc", "Close", Shown::Always},
    };
    const QColor text = palette().color(QPalette::WindowText);
    for (const auto& hint : hints) {
        auto* entry = new QWidget(bar);
        auto* pair = new QHBoxLayout(entry);
        pair->setContentsMargins(0, 0, 0, 0);
        pair->setSpacing(3);
        auto* key = new QLabel(QString::fromUtf8(hint.key), entry);
        QFont keyFont = caption2(font());
        keyFont.setWeight(QFont::Medium);
        key->setFont(keyFont);
        key->setStyleSheet(QStringLiteral("QLabel { padding: 1px 4px; border-radius: 3px; background: %1; }")
                               .arg(rgba(text, 0.15)));
        pair->addWidget(key);
        pair->addWidget(styledLabel(QString::fromUtf8(hint.label), caption2(font()), kSecondary, entry));
        row->addWidget(entry);
        if (hint.shown == Shown::FolderMode)
            m_folderHints.append(entry);
        else if (hint.shown == Shown::SearchMode)
            m_searchHint = entry;
    }
    row->addStretch(1);
    return bar;
}

QPushButton* SearchView::makeChip(const QString& title)
{
    auto* chip = new QPushButton(title, this);
    chip->setFlat(true);
    chip->setFocusPolicy(Qt::NoFocus);
    chip->setCursor(Qt::PointingHandCursor);
    return chip;
}

void SearchView::styleChip(QPushButton* chip, bool on) const
{
    const QColor accent = palette().color(QPalette::Highlight);
    const QColor secondary = palette().color(QPalette::WindowText);
    chip->setFont(caption2(font(), on));
    chip->setStyleSheet(QStringLiteral("QPushButton { padding: 3px 8px; border: none; border-radius: 4px; background: %1; }")
                            .arg(on ? rgba(accent, 0.20) : rgba(secondary, 0.10)));
}

int SearchView::lookBackDays(const Settings& settings)
{
    const AppSettings values = settings.settings();
    return values.searchDays.value_or(std::max(values.recentDays, 30));
}

QString SearchView::noticeText() const { return m_noticeLabel->isVisibleTo(this) ? m_noticeLabel->text() : QString(); }

QString SearchView::emptyText() const { return m_body->currentWidget() == m_emptyLabel ? m_emptyLabel->text() : QString(); }

void SearchView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_index.rebuildIndex();
}

void SearchView::arrowLeft()
{
    if (m_index.folderPath())
        m_index.exitFolderMode();
}

void SearchView::openSelectedAndDismiss()
{
    if (const auto selected = m_index.selectedFile())
        m_actions.openFile(*selected);
    m_onDismiss();
}

void SearchView::escape()
{
    if (m_index.folderPath())
        m_index.exitFolderMode();
    else if (!m_index.query().isEmpty())
        m_index.setQuery(QString());
    else
        m_onDismiss();
}

void SearchView::toggleFilterGroup(const QStringList& extensions)
{
    const QSet<QString>& active = m_index.activeExtFilters();
    const bool on = std::any_of(extensions.cbegin(), extensions.cend(),
                                [&](const QString& extension) { return active.contains(extension); });
    for (const QString& extension : extensions) {
        QSet<QString> changed = m_index.activeExtFilters();
        if (on)
            changed.remove(extension);
        else
            changed.insert(extension);
        m_index.setActiveExtFilters(changed);
    }
}

void SearchView::refresh()
{
    const bool folderMode = m_index.folderPath().has_value();
    m_header->setCurrentIndex(folderMode ? 1 : 0);
    // The stack takes the height of the header shown, not of the taller one hidden behind it.
    for (int page = 0; page < m_header->count(); ++page)
        m_header->widget(page)->setSizePolicy(QSizePolicy::Preferred,
                                              page == m_header->currentIndex() ? QSizePolicy::Maximum : QSizePolicy::Ignored);
    m_header->updateGeometry();
    for (QWidget* hint : std::as_const(m_folderHints))
        hint->setVisible(folderMode);
    m_searchHint->setVisible(!folderMode);

    if (folderMode) {
        const bool byName = m_index.folderSortByName();
        const QFontMetrics metrics(m_folderTitle->font());
        m_folderTitle->setText(metrics.elidedText(*m_index.folderPath(), Qt::ElideLeft, std::max(80, m_folderTitle->width())));
        m_folderTitle->setToolTip(*m_index.folderPath());
        setSymbol(m_sortButton, byName ? Symbols::Kind::SortByName : Symbols::Kind::SortByDate);
        m_sortButton->setToolTip(byName ? QStringLiteral("Sorted by name — click for date")
                                        : QStringLiteral("Sorted by date — click for name"));
        m_folderCountLabel->setText(counted(m_index.folderFiles().size(), QStringLiteral("file"), QStringLiteral("files")));
        m_folderSortLabel->setText(byName ? QStringLiteral("sorted by name") : QStringLiteral("sorted by date"));
    } else {
        const bool hidden = m_index.hideSystemFiles();
        setSymbol(m_systemFilesButton, Symbols::Kind::Eye, !hidden);
        m_systemFilesButton->setToolTip(hidden ? QStringLiteral("System files hidden — click to show")
                                               : QStringLiteral("Showing all files — click to hide system files"));
        const bool deep = m_index.isDeepSearch();
        setSymbol(m_deepButton, Symbols::Kind::DeepSearch, deep);
        m_deepButton->setToolTip(deep ? QStringLiteral("All files") : QStringLiteral("Search all files"));

        const bool loading = m_index.isLoadingFull();
        m_spinner->setVisible(loading);
        m_scanningLabel->setVisible(loading);
        m_daysButton->setVisible(!loading);
        m_fileCountLabel->setVisible(!loading);
        m_daysButton->setText(deep ? QStringLiteral("All files")
                                   : QStringLiteral("Last %1  -- click to search all")
                                         .arg(counted(lookBackDays(m_settings), QStringLiteral("day"), QStringLiteral("days"))));
        m_daysButton->setStyleSheet(deep ? QStringLiteral("color: %1;").arg(accent(palette()).name()) : QString());
        m_fileCountLabel->setText(
            QLatin1Char('(') + counted(m_index.indexFileCount(), QStringLiteral("file"), QStringLiteral("files")) + QLatin1Char(')'));
        m_resultsLabel->setText(counted(m_index.results().size(), QStringLiteral("result"), QStringLiteral("results")));

        const QList<SearchIndex::Scope> scopes = SearchIndex::allScopes();
        for (qsizetype i = 0; i < m_scopeChips.size(); ++i)
            styleChip(m_scopeChips[i], scopes[i] == m_index.scope());
        const QSet<QString>& active = m_index.activeExtFilters();
        for (qsizetype i = 0; i < m_filterChips.size(); ++i) {
            const QStringList& extensions = SearchIndex::filterGroups()[i].extensions;
            styleChip(m_filterChips[i], std::any_of(extensions.cbegin(), extensions.cend(),
                                                    [&](const QString& extension) { return active.contains(extension); }));
        }
        m_clearButton->setVisible(!active.isEmpty());
        m_field->syncText(m_index.query());
    }
    m_noticeLabel->setText(m_index.notice().value_or(QString()));
    m_noticeLabel->setVisible(m_index.notice().has_value());
    if (m_wasFolderMode && !folderMode)
        m_field->setFocus();
    m_wasFolderMode = folderMode;
    refreshList();
}

void SearchView::refreshList()
{
    const QList<FileEntry>& shown = m_index.shownList();
    if (shown.isEmpty()) {
        m_emptyLabel->setText(m_index.folderPath()       ? QStringLiteral("Empty folder")
                              : !m_index.query().isEmpty() ? QStringLiteral("No matches")
                                                           : QStringLiteral("No recent files"));
        m_body->setCurrentWidget(m_emptyLabel);
    } else {
        m_body->setCurrentWidget(m_list);
    }
    if (shown != m_shown) {
        m_shown = shown;
        m_shownSelection = -1;
        m_list->clear();
        const auto basis = m_settings.settings().timeBasis;
        for (const FileEntry& file : shown)
            m_list->addItem(SearchResultRow::makeItem(file, basis));
    }
    const int selected = m_index.selectedIndex();
    if (selected >= 0 && selected < m_list->count()) {
        m_list->setCurrentRow(selected);
        if (selected != m_shownSelection)
            m_list->scrollToItem(m_list->item(selected), QAbstractItemView::PositionAtCenter);
    } else {
        m_list->clearSelection();
    }
    m_shownSelection = selected;
}

}  // namespace harkwell
