#include "app/Main.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>

#include "app/GuiMessages.h"
#include "app/HelpMenu.h"
#include "app/QtText.h"
#include "app/ResultTreeView.h"
#include "app/ResultModel.h"
#include "metainfo/TorrentEx.h"
#include "search/SearchState.h"
#include "search/SearchUtil.h"
#include "base/StringUtil.h"
#include "base/Trace.h"

namespace sorvena {

namespace {

constexpr int KeywordBarHeight = 37;
constexpr int CatLeft = 8;
constexpr int CatWidth = 89;
constexpr int KeywordLeft = 112;
constexpr int SearchButtonWidth = 57;

// Leading and trailing bytes 0 to 32 removed: the keyword as searched.
std::string normalisedKeyword(std::string_view text)
{
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
    return std::string(text);
}

// Vertical grid lines between the cells of the result list; and every name
// starts at the same place, icon or not (a single-file torrent has one, a
// multi-file torrent none).
class TGridDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (index.column() == COL_NAME) option->features |= QStyleOptionViewItem::HasDecoration;
    }

public:
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        painter->save();
        painter->setPen(QColor(160, 160, 160));
        painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
        painter->restore();
    }
};

}  // namespace

TMainForm::TMainForm(const TSiteHosts& hosts, const TIniOptions& options, QWidget* parent)
    : QMainWindow(parent), m_options(options)
{
    TGuiMessages::Handlers handlers;
    handlers.siteDone = [this](int siteIndex) { MsgSiteDone(siteIndex); };
    handlers.torrentFound = [this](std::unique_ptr<TTorrentEx> entry) { MsgTorrentFound(std::move(entry)); };
    handlers.peerCount = [this](std::string_view infoHashHex, int32_t count) { MsgPeerCount(infoHashHex, count); };
    handlers.metadataFound = [this](std::string_view infoHashHex, std::unique_ptr<TTorrentEx> torrent,
                                    std::string_view reason) { MsgMetadataFound(infoHashHex, std::move(torrent), reason); };
    m_messages = std::make_shared<TGuiMessages>(this, std::move(handlers));
    m_state = std::make_shared<TSearchState>(m_messages);
    m_state->Hosts = hosts;
    m_state->SetOptions(m_options);

    m_model = new TResultModel(this);
    // Connected before the view is: when the selection model then reports a
    // selection that shrank or moved with the rows, it is known not to be the user's.
    const auto changing = [this] { ++m_modelChanging; };
    connect(m_model, &QAbstractItemModel::rowsAboutToBeInserted, this, changing);
    connect(m_model, &QAbstractItemModel::rowsAboutToBeRemoved, this, changing);
    connect(m_model, &QAbstractItemModel::layoutAboutToBeChanged, this, changing);
    connect(m_model, &QAbstractItemModel::modelAboutToBeReset, this, changing);
    pcMain = new QTabWidget(this);
    pcMain->setTabPosition(QTabWidget::South);
    auto* searchPage = new QWidget;
    auto* optionPage = new QWidget;
    pcMain->addTab(searchPage, QStringLiteral("Search"));
    pcMain->addTab(optionPage, QStringLiteral("Option"));
    setCentralWidget(pcMain);
    createSearchPage(searchPage);
    createOptionPage(optionPage);
    createActions();
    createMenus();

    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    statusBar()->addWidget(lblStatus, 1);
    createSiteStatus();

    const QString caption = QStringLiteral("Sorvena v%1%2%3")
                                .arg(AppVersion / 100)
                                .arg(QLocale().decimalPoint())
                                .arg(AppVersion % 100, 2, 10, QLatin1Char('0'));
    setWindowTitle(caption);
    setWindowIcon(QIcon(QStringLiteral(":/desktop/sorvena.svg")));  // title bar and task switcher
    resize(m_options.Width, m_options.Height);
    move(m_options.Left, m_options.Top);

    cbAutoCheckPeers->setChecked(m_options.AutoCheckPeer);
    cbAutoFetchFiles->setChecked(m_options.AutoFetchFiles);
    cbOnlyShowKeywordFile->setChecked(m_options.OnlyKeywordFile);
    cbOnlyShowHasPeers->setChecked(m_options.OnlyHasPeers);
    cbAutoUpdate->setChecked(m_options.AutoUpdate);
    cbSaveHistory->setChecked(m_options.SaveHistory);
    connect(cbAutoCheckPeers, &QCheckBox::clicked, this, &TMainForm::cbAutoCheckPeersClick);
    connect(cbAutoFetchFiles, &QCheckBox::clicked, this, &TMainForm::cbAutoFetchFilesClick);
    connect(cbOnlyShowKeywordFile, &QCheckBox::clicked, this, &TMainForm::cbOnlyShowKeywordFileClick);
    connect(cbOnlyShowHasPeers, &QCheckBox::clicked, this, &TMainForm::cbOnlyShowHasPeersClick);
    connect(cbSaveHistory, &QCheckBox::clicked, this, &TMainForm::cbSaveHistoryClick);
    if (m_options.SaveHistory)
        for (const std::string& keyword : SplitKeywordHistory(m_options.Keyword))
            cbKeyword->addItem(BytesToQString(keyword));
    cbKeyword->setCurrentIndex(-1);
    applyFilterOptions();

    // After the view's own reactions: rows that Select All covers and the
    // view did not yet show selected are selected now.
    const auto changed = [this] {
        --m_modelChanging;
        if (m_allSelected && m_modelChanging == 0) selectVisibleRows();
    };
    connect(m_model, &QAbstractItemModel::rowsInserted, this, changed);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, changed);
    connect(m_model, &QAbstractItemModel::layoutChanged, this, changed);
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] {
        --m_modelChanging;
        m_allSelected = false;  // a new list
    });
    connect(treeSeed->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (m_modelChanging == 0 && !m_selectingAll) m_allSelected = false;
    });
    connect(treeSeed, &QTreeView::expanded, this, [this] {
        if (m_allSelected) selectVisibleRows();
    });
    connect(m_model, &QAbstractItemModel::rowsInserted, this, &TMainForm::UpdateActions);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &TMainForm::UpdateActions);
    connect(m_model, &QAbstractItemModel::modelReset, this, &TMainForm::UpdateActions);
    connect(m_model, &QAbstractItemModel::layoutChanged, this, &TMainForm::UpdateActions);
    connect(treeSeed->selectionModel(), &QItemSelectionModel::selectionChanged, this, &TMainForm::UpdateActions);
    connect(treeSeed->selectionModel(), &QItemSelectionModel::currentChanged, this, &TMainForm::UpdateActions);
    connect(cbKeyword, &QComboBox::editTextChanged, this, &TMainForm::UpdateActions);

    updateStatus();
    UpdateActions();
    cbKeyword->setFocus();
}

TMainForm::~TMainForm()
{
    if (m_updateMailbox) m_updateMailbox->Close();
    m_messages->Close();
    m_state->TerminateWorkers();
    for (const auto& check : m_manualChecks)
        if (const auto worker = check.lock()) worker->Terminate();
    terminateManualFetches();
}

void TMainForm::createSearchPage(QWidget* page)
{
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    treeSeed = new TResultTreeView(page);
    treeSeed->setObjectName(QStringLiteral("treeSeed"));
    treeSeed->setModel(m_model);
    treeSeed->setItemDelegate(new TGridDelegate(treeSeed));
    treeSeed->setUniformRowHeights(true);  // what keeps a hundred thousand rows cheap
    treeSeed->setRootIsDecorated(true);
    treeSeed->setAllColumnsShowFocus(true);
    treeSeed->setSelectionBehavior(QAbstractItemView::SelectRows);
    treeSeed->setSelectionMode(QAbstractItemView::ExtendedSelection);
    treeSeed->setEditTriggers(QAbstractItemView::NoEditTriggers);
    treeSeed->setMouseTracking(true);
    treeSeed->setContextMenuPolicy(Qt::CustomContextMenu);
    treeSeed->viewport()->installEventFilter(this);
    treeSeed->installEventFilter(this);
    connect(treeSeed, &QWidget::customContextMenuRequested, this, &TMainForm::treeSeedContextMenu);

    QHeaderView* header = treeSeed->header();
    header->setStretchLastSection(false);
    header->setSectionsClickable(true);
    header->setSectionsMovable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    header->setFirstSectionMovable(false);
    for (int i = 0; i < ResultColumnCount; ++i) {
        m_defaultWidths.push_back(defaultColumnWidth(i));
        header->resizeSection(i, m_defaultWidths.back());
    }
    header->setSectionResizeMode(COL_NAME, QHeaderView::Stretch);  // the free width is the names'
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(header, &QHeaderView::sectionClicked, this, &TMainForm::treeSeedHeaderClick);
    connect(header, &QHeaderView::sectionMoved, this, &TMainForm::treeSeedHeaderMoved);
    layout->addWidget(treeSeed, 1);

    pnlKeyword = new QWidget(page);
    pnlKeyword->setObjectName(QStringLiteral("pnlKeyword"));
    pnlKeyword->setFixedHeight(KeywordBarHeight);
    cbCat = new QComboBox(pnlKeyword);
    cbCat->setObjectName(QStringLiteral("cbCat"));
    for (const char* name : CategoryNames) cbCat->addItem(QString::fromLatin1(name));
    cbCat->setCurrentIndex(0);
    cbCat->installEventFilter(this);
    cbKeyword = new QComboBox(pnlKeyword);
    cbKeyword->setObjectName(QStringLiteral("cbKeyword"));
    cbKeyword->setEditable(true);
    cbKeyword->setInsertPolicy(QComboBox::NoInsert);
    cbKeyword->lineEdit()->installEventFilter(this);
    cbKeyword->installEventFilter(this);
    btnSearch = new QPushButton(QStringLiteral("Search"), pnlKeyword);
    btnSearch->setObjectName(QStringLiteral("btnSearch"));
    pnlKeyword->installEventFilter(this);
    layout->addWidget(pnlKeyword);
}

void TMainForm::createOptionPage(QWidget* page)
{
    struct Box {
        QCheckBox** box;
        const char* name;
        const char* caption;
        int left;
    };
    const Box boxes[] = {
        {&cbAutoCheckPeers, "cbAutoCheckPeers", "Auto check peers count", 24},
        {&cbOnlyShowHasPeers, "cbOnlyShowHasPeers", "Only show torrents that has peers", 40},
        {&cbAutoFetchFiles, "cbAutoFetchFiles", "Auto fetch &file lists of magnet links", 24},
        {&cbOnlyShowKeywordFile, "cbOnlyShowKeywordFile", "Only show torrents that contains keywords", 24},
        {&cbAutoUpdate, "cbAutoUpdate", "Auto update", 24},
        {&cbSaveHistory, "cbSaveHistory", "Save search history", 24},
    };
    int top = 16;
    for (const Box& b : boxes) {
        *b.box = new QCheckBox(QString::fromLatin1(b.caption), page);
        (*b.box)->setObjectName(QString::fromLatin1(b.name));
        (*b.box)->move(b.left, top);
        (*b.box)->adjustSize();
        top += 24;
    }
    createIndexersPanel(page);
}

void TMainForm::createActions()
{
    struct Def {
        QAction** action;
        const char* name;
        const char* caption;
        QKeySequence shortcut;
    };
    const Def defs[] = {
        {&actSearchOrStop, "actSearchOrStop", "Search", QKeySequence(Qt::Key_F5)},
        {&actSaveAll, "actSaveAll", "Save Search &Result...", QKeySequence(Qt::CTRL | Qt::Key_S)},
        {&actLoad, "actLoad", "L&oad Search Result...", QKeySequence(Qt::CTRL | Qt::Key_O)},
        {&actDownload, "actDownload", "&Download", QKeySequence(Qt::CTRL | Qt::Key_D)},
        {&actSaveTorrent, "actSaveTorrent", "Save &Torrent...", QKeySequence(Qt::CTRL | Qt::Key_T)},
        {&actCheckPeers, "actCheckPeers", "Check &Peers", QKeySequence(Qt::CTRL | Qt::Key_P)},
        {&actExpandAll, "actExpandAll", "&Expand All", QKeySequence(Qt::CTRL | Qt::Key_E)},
        {&actDeleteTorrent, "actDeleteTorrent", "De&lete", QKeySequence(Qt::Key_Delete)},
        {&actFind, "actFind", "&Find...", QKeySequence(Qt::CTRL | Qt::Key_F)},
        {&actFindNext, "actFindNext", "Find &Next", QKeySequence(Qt::Key_F3)},
        {&actCollapseAll, "actCollapseAll", "&Collapse All", QKeySequence(Qt::CTRL | Qt::Key_C)},
        {&actSelectAll, "actSelectAll", "Select &All", QKeySequence(Qt::CTRL | Qt::Key_A)},
        {&actHelpContent, "actHelpContent", "&Content", QKeySequence(Qt::Key_F1)},
        {&actSupport, "actSupport", "&Support", QKeySequence()},
        {&actHelpUpdate, "actHelpUpdate", "Check &Update", QKeySequence()},
        {&actWebSite, "actWebSite", "&Website", QKeySequence()},
        {&actAbout, "actAbout", "&About...", QKeySequence()},
        {&actCopyMagnet, "actCopyMagnet", "Copy &Magnet Link", QKeySequence(Qt::CTRL | Qt::Key_M)},
        {&actFetchFileList, "actFetchFileList", "Fetch &File List", QKeySequence(Qt::CTRL | Qt::Key_L)},
    };
    for (const Def& d : defs) {
        auto* action = new QAction(QString::fromLatin1(d.caption), this);
        action->setObjectName(QString::fromLatin1(d.name));
        if (!d.shortcut.isEmpty()) {
            action->setShortcut(d.shortcut);
            action->setShortcutContext(Qt::WindowShortcut);
            m_actions.push_back(action);
        }
        addAction(action);  // the shortcut works whether or not a menu shows the action
        *d.action = action;
    }
    connect(actSearchOrStop, &QAction::triggered, this, &TMainForm::actSearchOrStopExecute);
    connect(actExpandAll, &QAction::triggered, this, &TMainForm::actExpandAllExecute);
    connect(actCollapseAll, &QAction::triggered, this, &TMainForm::actCollapseAllExecute);
    connect(actSelectAll, &QAction::triggered, this, &TMainForm::actSelectAllExecute);
    connect(actAbout, &QAction::triggered, this, &TMainForm::actAboutExecute);
    createCommandDialogs();
    connect(actHelpContent, &QAction::triggered, this, &TMainForm::actHelpContentExecute);
    connect(actSupport, &QAction::triggered, this, &TMainForm::actSupportExecute);
    connect(actWebSite, &QAction::triggered, this, &TMainForm::actWebSiteExecute);
    connect(actHelpUpdate, &QAction::triggered, this, &TMainForm::actHelpUpdateExecute);
    connectMagnetCommands();
    connect(btnSearch, &QPushButton::clicked, actSearchOrStop, &QAction::trigger);
    connect(actSearchOrStop, &QAction::changed, this, [this] {
        btnSearch->setText(actSearchOrStop->text());
        btnSearch->setEnabled(actSearchOrStop->isEnabled());
    });
}

void TMainForm::createMenus()
{
    QMenu* torrent = menuBar()->addMenu(QStringLiteral("&Torrent"));
    torrent->addActions({actDownload, actCheckPeers, actFetchFileList, actSaveTorrent, actCopyMagnet, actDeleteTorrent});
    torrent->addSeparator();
    torrent->addActions({actSaveAll, actLoad});
    QMenu* search = menuBar()->addMenu(QStringLiteral("&Search"));
    search->addActions({actFind, actFindNext});
    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    view->addActions({actExpandAll, actCollapseAll});
    view->addSeparator();
    view->addAction(actSelectAll);
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->addActions({actHelpContent, actSupport, actHelpUpdate, actWebSite});
    help->addSeparator();
    help->addAction(actAbout);

    pmTree = new QMenu(this);
    pmTree->setObjectName(QStringLiteral("pmTree"));
    pmTree->addActions({actDownload, actCheckPeers, actFetchFileList, actSaveTorrent, actCopyMagnet, actDeleteTorrent});
    pmTree->addSeparator();
    pmTree->addActions({actFind, actFindNext});
    pmTree->addSeparator();
    pmTree->addActions({actSaveAll, actLoad});
    pmTree->addSeparator();
    pmTree->addActions({actExpandAll, actCollapseAll, actSelectAll});

    for (QMenu* menu : {torrent, search, view, help, pmTree})
        connect(menu, &QMenu::aboutToShow, this, &TMainForm::UpdateActions);

    // F10 opens the first menu, as on other desktops.
    auto* menuKey = new QAction(this);
    menuKey->setObjectName(QStringLiteral("actMenuBar"));
    menuKey->setShortcut(QKeySequence(Qt::Key_F10));
    menuKey->setShortcutContext(Qt::WindowShortcut);
    addAction(menuKey);
    connect(menuKey, &QAction::triggered, this, [this] {
        if (!menuBar()->actions().isEmpty()) menuBar()->setActiveAction(menuBar()->actions().constFirst());
    });
}

void TMainForm::FormResize()
{
    // The designed places, widened where the desktop's font needs it: the
    // category box shows its longest item ("Application"), the button its caption.
    const int width = pnlKeyword->width();
    const int height = cbKeyword->sizeHint().height();
    const int top = (KeywordBarHeight - height) / 2;
    const int catWidth = std::max(CatWidth, cbCat->sizeHint().width());
    const int keywordLeft = std::max(KeywordLeft, CatLeft + catWidth + 15);
    const int buttonWidth = std::max({SearchButtonWidth, btnSearch->sizeHint().width(),
                                      btnSearch->fontMetrics().horizontalAdvance(QStringLiteral("Search")) + 24,
                                      btnSearch->fontMetrics().horizontalAdvance(QStringLiteral("Stop")) + 24});
    cbCat->setGeometry(CatLeft, top, catWidth, height);
    cbKeyword->setGeometry(keywordLeft, top, std::max(0, width - buttonWidth - 20 - 8 - keywordLeft), height);
    btnSearch->setGeometry(width - buttonWidth - 20, top, buttonWidth, height);
}

int TMainForm::defaultColumnWidth(int column) const
{
    // The designed width, or more where the caption with its sort arrow, or
    // a typical cell ("1023.99 MB", a four-digit-year date), needs it.
    QHeaderView* header = treeSeed->header();
    QStyleOptionHeader option;
    option.initFrom(header);
    option.text = QString::fromLatin1(ResultColumns[column].Caption);
    option.sortIndicator = QStyleOptionHeader::SortDown;
    const int caption = header->style()->sizeFromContents(QStyle::CT_HeaderSection, &option, QSize(), header).width();
    QString sample;
    switch (column) {
    case COL_SIZE: sample = QStringLiteral("1023.99 MB"); break;
    case COL_PEERS: sample = QStringLiteral("99999"); break;
    case COL_FILE: sample = QStringLiteral("999/999"); break;
    case COL_DATE: sample = m_model->DateText(45000.0); break;
    case COL_REFER_SITE: sample = QStringLiteral("torrentreactor.net"); break;
    default: break;
    }
    const int cell = sample.isEmpty() ? 0 : treeSeed->fontMetrics().horizontalAdvance(sample) + 16;
    return std::max({ResultColumns[column].Width, caption + 8, cell});
}

TColumnLayout TMainForm::ColumnLayout() const
{
    QHeaderView* header = treeSeed->header();
    TColumnLayout layout;
    for (int i = 0; i < ResultColumnCount; ++i) {
        layout.Widths.push_back(header->sectionSize(i));
        layout.Order.push_back(header->logicalIndex(i));
    }
    return layout;
}

void TMainForm::applyColumnLayout(const TColumnLayout& layout)
{
    QHeaderView* header = treeSeed->header();
    if (layout.Widths.size() == static_cast<size_t>(ResultColumnCount))
        for (int i = 0; i < ResultColumnCount; ++i)
            if (i != COL_NAME && layout.Widths[static_cast<size_t>(i)] >= header->minimumSectionSize() &&
                layout.Widths[static_cast<size_t>(i)] <= 4000)
                header->resizeSection(i, layout.Widths[static_cast<size_t>(i)]);
    // An order is taken only when it is one of the columns, "Name" first.
    std::vector<int> order = layout.Order;
    std::vector<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    bool valid = order.size() == static_cast<size_t>(ResultColumnCount) && order.front() == COL_NAME;
    for (int i = 0; valid && i < ResultColumnCount; ++i) valid = sorted[static_cast<size_t>(i)] == i;
    if (!valid) return;
    m_movingHeader = true;
    for (int visual = 0; visual < ResultColumnCount; ++visual)
        header->moveSection(header->visualIndex(order[static_cast<size_t>(visual)]), visual);
    m_movingHeader = false;
}

bool TMainForm::columnsAsDesigned() const
{
    const TColumnLayout layout = ColumnLayout();
    for (int i = 0; i < ResultColumnCount; ++i) {
        if (layout.Order[static_cast<size_t>(i)] != i) return false;
        if (i != COL_NAME && layout.Widths[static_cast<size_t>(i)] != m_defaultWidths[static_cast<size_t>(i)]) return false;
    }
    return true;
}

void TMainForm::trace(const char* routine, const std::exception& e) const
{
    TraceError(__FILE__, __LINE__, routine, e.what());
}

// ---- search control

void TMainForm::BeginSearch()
{
    m_searching = true;
    const std::string keyword = normalisedKeyword(QStringToBytes(cbKeyword->currentText()));
    m_state->SearchKeyword = keyword;
    m_state->SearchCategory = cbCat->currentIndex();
    cbKeyword->setEnabled(false);
    cbCat->setEnabled(false);
    // The last search's fetches have no rows left to fill.
    m_state->TerminateMetadataThreads();
    m_fetchedHashes.clear();
    m_model->Clear();
    m_model->SetSearchKeyword(keyword);
    if (m_options.SaveHistory) {
        // An item equal but for letter case stays where it is.
        const QString item = BytesToQString(keyword);
        if (cbKeyword->findText(item, Qt::MatchFixedString) < 0) cbKeyword->insertItem(0, item);
    }
    m_torrentCount = 0;
    m_fileTotal = 0;
    try {
        StartSiteSearches(m_state);
    } catch (const std::exception& e) {
        // The workers that did start are asked to end; the search is over.
        m_state->TerminateWorkers();
        cbKeyword->setEnabled(true);
        cbCat->setEnabled(true);
        m_searching = false;
        updateStatus();
        UpdateActions();
        QMessageBox::critical(this, windowTitle(), QString::fromLocal8Bit(e.what()));
        return;
    }
    m_sitesStarted = static_cast<int>(std::count(m_state->SiteBusy.begin(), m_state->SiteBusy.end(), true));
    m_startedSites.assign(m_state->SiteBusy.begin(), m_state->SiteBusy.end());
    m_summary.clear();
    m_siteTimer->start();
    updateStatus();
    UpdateActions();
}

void TMainForm::StopSearch()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    btnSearch->setEnabled(false);
    // Only requests: a worker in a fetch ends on its own, and sends nothing more.
    m_state->TerminateWorkers();
    QApplication::restoreOverrideCursor();
    btnSearch->setEnabled(true);
}

void TMainForm::FinishSearch()
{
    cbKeyword->setEnabled(true);
    cbCat->setEnabled(true);
    m_searching = false;
    m_siteTimer->stop();
    QApplication::beep();
    m_summary = QStringLiteral("%1 torrents and %2 files found.").arg(m_torrentCount).arg(m_fileTotal);
    updateStatus();
    UpdateActions();
    // Modal inside the last site's message: that worker waits until the box
    // is closed, while peer counts from other workers are still handled.
    ShowSummary(m_summary);
}

void TMainForm::ShowSummary(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, windowTitle(), text, QMessageBox::Ok, this);
    // The count alone does not tell a newcomer that the sites were not there.
    const TSiteCounts sites = siteCounts();
    QString sentence = siteStatusSentence(sites);
    if (sites.failed > 0 && sites.failed == sites.started) sentence += QStringLiteral(" Check the network connection.");
    if (!sentence.isEmpty()) box.setInformativeText(sentence);
    box.exec();
}

void TMainForm::actSearchOrStopExecute()
{
    if (m_searching) {
        StopSearch();
        FinishSearch();
    } else {
        BeginSearch();
    }
}

void TMainForm::MsgTorrentFound(std::unique_ptr<TTorrentEx> entry)
{
    // Sent after Stop (or null): refused, and freed when the sender lets go.
    if (!m_searching || !entry) return;
    if (!m_fetchedHashes.empty() && !entry->IsMagnet() && m_fetchedHashes.count(entry->InfoHashHex)) return;
    try {
        const int files = static_cast<int>(entry->SubFiles.size());
        if (replaceMagnetRow(entry)) {
            m_fileTotal += files;  // the same torrent, now with its files
            updateStatus();
            return;
        }
        ++m_torrentCount;
        m_fileTotal += files;
        m_model->AddTorrentNode(std::move(entry));
        updateStatus();
    } catch (const std::exception& e) {
        trace(__func__, e);
    }
}

void TMainForm::MsgSiteDone(int siteIndex)
{
    if (!m_searching || siteIndex < 0 || static_cast<size_t>(siteIndex) >= m_state->SiteBusy.size()) return;
    try {
        m_state->SiteBusy[static_cast<size_t>(siteIndex)] = false;
        updateStatus();
        if (std::none_of(m_state->SiteBusy.begin(), m_state->SiteBusy.end(), [](bool busy) { return busy; }))
            FinishSearch();
    } catch (const std::exception& e) {
        trace(__func__, e);
    }
}

void TMainForm::MsgPeerCount(std::string_view infoHashHex, int32_t count)
{
    // In any state: the Check Peers command counts while no search runs.
    if (infoHashHex.empty()) return;
    try {
        m_model->ApplyPeerCount(infoHashHex, count);
    } catch (const std::exception& e) {
        trace(__func__, e);
    }
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    FormClose();  // the settings first
    // Then the receiver: from here on every send returns at once.
    m_messages->Close();
    if (m_searching) StopSearch();  // without the report
    // Background work the window started ends with it: every peer check (those
    // of a finished search and those of Check Peers alike) and every file-list
    // fetch. Only requests: nothing waits for a worker, and each ends within
    // about 100 ms (a name lookup aside).
    m_state->TerminateWorkers();
    for (const auto& check : m_manualChecks)
        if (const auto worker = check.lock()) worker->Terminate();
    terminateManualFetches();
    event->accept();
}

// ---- status and enablement

QString TMainForm::StatusText() const
{
    return lblStatus->text();
}

void TMainForm::updateStatus()
{
    const TSiteCounts sites = siteCounts();
    QString sentence = siteStatusSentence(sites);
    if (!sentence.isEmpty()) sentence.prepend(QLatin1Char(' '));
    if (m_searching) {
        const auto busy = std::count(m_state->SiteBusy.begin(), m_state->SiteBusy.end(), true);
        lblStatus->setText(QStringLiteral("Searching: %1 of %2 sites busy, %3 torrents, %4 files")
                               .arg(busy)
                               .arg(m_sitesStarted)
                               .arg(m_torrentCount)
                               .arg(m_fileTotal) +
                           (sentence.isEmpty() ? QString() : QLatin1Char('.') + sentence));
    } else {
        lblStatus->setText(m_summary.isEmpty() ? QStringLiteral("Ready") : m_summary + sentence);
    }
    updateSiteButton(sites);

    QString empty;
    if (m_searching) empty = QStringLiteral("Searching...");
    else if (sites.started > 0 && sites.failed == sites.started)
        empty = siteStatusSentence(sites) + QStringLiteral("\nCheck the network connection.");
    else if (sites.started > 0 && m_torrentCount == 0) empty = QStringLiteral("Nothing was found.");
    else empty = QStringLiteral("Type a keyword below and press Enter to search.");
    static_cast<TResultTreeView*>(treeSeed)->SetEmptyText(empty);
}

bool TMainForm::anyTorrentSelected() const
{
    if (m_allSelected) return !m_model->IsEmpty();
    if (m_hiddenFindPos.IsValid()) return m_hiddenFindPos.File < 0;
    const QItemSelection selection = treeSeed->selectionModel()->selection();
    return std::any_of(selection.begin(), selection.end(),
                       [](const QItemSelectionRange& range) { return !range.parent().isValid(); });
}

int TMainForm::selectedRowCount() const
{
    // Select All is never "exactly one row": Save Torrent is then off.
    if (m_allSelected) return 2;
    if (m_hiddenFindPos.IsValid()) return 1;
    int rows = 0;
    for (const QItemSelectionRange& range : treeSeed->selectionModel()->selection()) rows += range.height();
    return rows;
}

TResultModel::TRowPos TMainForm::focusedPosition() const
{
    return m_hiddenFindPos.IsValid() ? m_hiddenFindPos : m_model->PositionOf(treeSeed->currentIndex());
}

std::vector<TResultModel::TRowPos> TMainForm::selectedPositions() const
{
    std::vector<TResultModel::TRowPos> rows;
    if (m_allSelected) {
        // The torrent rows; their file rows go with them.
        rows.reserve(static_cast<size_t>(m_model->TorrentRowCount()));
        for (int t = 0; t < m_model->TorrentRowCount(); ++t) rows.push_back({t, -1});
        return rows;
    }
    if (m_hiddenFindPos.IsValid()) return {m_hiddenFindPos};
    for (const QModelIndex& index : treeSeed->selectionModel()->selectedRows())
        if (const auto pos = m_model->PositionOf(index); pos.IsValid()) rows.push_back(pos);
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return a.Torrent != b.Torrent ? a.Torrent < b.Torrent : a.File < b.File;
    });
    return rows;
}

std::vector<int> TMainForm::selectedTorrentPositions() const
{
    std::vector<int> torrents;
    for (const TResultModel::TRowPos& pos : selectedPositions())
        if (pos.File < 0) torrents.push_back(pos.Torrent);
    return torrents;
}

void TMainForm::selectVisibleRows()
{
    QItemSelection all;
    const int torrents = m_model->rowCount();
    if (torrents > 0) all.select(m_model->index(0, 0), m_model->index(torrents - 1, ResultColumnCount - 1));
    // File rows only where the view shows them: a range per collapsed torrent
    // would cost the view a persistent index pair each.
    for (int row = 0; row < torrents; ++row) {
        const QModelIndex parent = m_model->index(row, 0);
        if (!treeSeed->isExpanded(parent)) continue;
        const int files = m_model->rowCount(parent);
        if (files > 0)
            all.select(m_model->index(0, 0, parent), m_model->index(files - 1, ResultColumnCount - 1, parent));
    }
    m_selectingAll = true;
    treeSeed->selectionModel()->select(all, QItemSelectionModel::ClearAndSelect);
    m_selectingAll = false;
}

void TMainForm::UpdateActions()
{
    const bool hasRows = !m_model->IsEmpty();
    const QString keyword = cbKeyword->currentText();
    const bool keywordGiven = !normalisedKeyword(QStringToBytes(keyword)).empty();
    actSearchOrStop->setEnabled(m_searching || keywordGiven);
    actSearchOrStop->setText(m_searching ? QStringLiteral("Stop") : QStringLiteral("Search"));

    const bool torrentSelected = anyTorrentSelected();
    actSaveAll->setEnabled(!m_searching && hasRows);
    actLoad->setEnabled(!m_searching);
    actDownload->setEnabled(torrentSelected);
    actCheckPeers->setEnabled(torrentSelected);
    actDeleteTorrent->setEnabled(torrentSelected);
    const TResultModel::TRowPos focused = focusedPosition();
    actSaveTorrent->setEnabled(selectedRowCount() == 1 && focused.IsValid() && focused.File < 0);
    actExpandAll->setEnabled(hasRows);
    actCollapseAll->setEnabled(hasRows);
    actFind->setEnabled(hasRows);
    actFindNext->setEnabled(hasRows && !m_findText.isEmpty());
    actSelectAll->setEnabled(hasRows);
    actHelpContent->setEnabled(true);
    updateMagnetActions(torrentSelected);
}

// An enabled command takes its key before the focused control does, even in
// the keyword box (Del, Ctrl+A and Ctrl+C included); a disabled one leaves it.
bool TMainForm::overridesShortcut(QKeyEvent* event)
{
    if (m_actions.empty()) return false;  // still being built
    UpdateActions();
    const QKeySequence pressed(QKeyCombination(event->modifiers() & ~Qt::KeypadModifier, Qt::Key(event->key())));
    return std::any_of(m_actions.begin(), m_actions.end(), [&](const QAction* action) {
        return action->isEnabled() && action->shortcut() == pressed;
    });
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ShortcutOverride && overridesShortcut(static_cast<QKeyEvent*>(event))) {
        event->ignore();  // not the control's: the window's shortcut runs
        return true;
    }
    // The keyword box has the focus, not its line edit, and passes the keys it
    // does not take to the line edit directly, past any filter there.
    if (cbKeyword && (watched == cbKeyword || watched == cbKeyword->lineEdit()) && event->type() == QEvent::KeyPress)
        return cbKeywordKeyDown(static_cast<QKeyEvent*>(event));
    if (watched == pnlKeyword && event->type() == QEvent::Resize) FormResize();
    if (treeSeed && watched == treeSeed->viewport()) {
        switch (event->type()) {
        case QEvent::MouseMove: treeSeedMouseMove(static_cast<QMouseEvent*>(event)->position().toPoint()); break;
        case QEvent::MouseButtonRelease: treeSeedMouseUp(static_cast<QMouseEvent*>(event)->position().toPoint()); break;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            // The right button only opens the context menu: selection and
            // focus stay, so its commands act on the rows selected before.
            if (static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) return true;
            break;
        default: break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

bool TMainForm::cbKeywordKeyDown(QKeyEvent* event)
{
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) return false;
    // A blank keyword while idle starts nothing.
    if (m_searching || !normalisedKeyword(QStringToBytes(cbKeyword->currentText())).empty()) {
        actSearchOrStopExecute();
        btnSearch->setFocus();
    }
    return true;
}

// ---- the result list

void TMainForm::treeSeedHeaderClick(int column)
{
    m_model->HeaderClick(column);
    treeSeed->header()->setSortIndicator(m_model->SortColumn(), m_model->SortOrder());
}

void TMainForm::treeSeedHeaderMoved()
{
    // "Name" stays the first column.
    QHeaderView* header = treeSeed->header();
    if (m_movingHeader || header->visualIndex(COL_NAME) == 0) return;
    m_movingHeader = true;
    header->moveSection(header->visualIndex(COL_NAME), 0);
    m_movingHeader = false;
}

void TMainForm::treeSeedMouseMove(const QPoint& pos)
{
    const QModelIndex index = treeSeed->indexAt(pos);
    const bool onLink = index.isValid() && index.column() == COL_REFER_SITE && m_model->NodeData(index).Torrent;
    treeSeed->viewport()->setCursor(onLink ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

void TMainForm::treeSeedMouseUp(const QPoint& pos)
{
    const QModelIndex index = treeSeed->indexAt(pos);
    const TTorrentEx* torrent = m_model->NodeData(index).Torrent;
    if (!torrent || treeSeed->currentIndex().column() != COL_REFER_SITE || torrent->LinkUrl.empty()) return;
    QDesktopServices::openUrl(QUrl(QStringLiteral("http://") + BytesToQString(GetUrlHost(torrent->LinkUrl))));
}

void TMainForm::treeSeedContextMenu(const QPoint& pos)
{
    pmTree->popup(treeSeed->viewport()->mapToGlobal(pos));
}

void TMainForm::actExpandAllExecute()
{
    treeSeed->expandAll();
    if (m_allSelected) selectVisibleRows();  // the file rows now shown are selected too
}

void TMainForm::actCollapseAllExecute()
{
    treeSeed->collapseAll();
}

void TMainForm::actSelectAllExecute()
{
    // Every row: the ones the view shows are selected in it, and the rest
    // (hidden by the filters, or in collapsed torrents) count as selected too.
    m_hiddenFindPos = {};
    selectVisibleRows();
    m_allSelected = !m_model->IsEmpty();
    UpdateActions();
}


// ---- options

void TMainForm::applyFilterOptions()
{
    m_model->SetFilterOptions(m_options.OnlyKeywordFile, m_options.OnlyHasPeers);
}

void TMainForm::cbAutoCheckPeersClick(bool checked)
{
    m_options.AutoCheckPeer = checked;
    m_state->SetAutoCheckPeer(checked);  // workers read it at every hand-over
    cbOnlyShowHasPeers->setEnabled(checked);
    if (!checked) {
        cbOnlyShowHasPeers->setChecked(false);
        m_options.OnlyHasPeers = false;
        applyFilterOptions();
        m_model->RefreshRowFilter();
    }
}

void TMainForm::cbOnlyShowKeywordFileClick(bool checked)
{
    m_options.OnlyKeywordFile = checked;
    applyFilterOptions();
    m_model->RefreshRowFilter();
}

void TMainForm::cbOnlyShowHasPeersClick(bool checked)
{
    m_options.OnlyHasPeers = checked;
    applyFilterOptions();
    m_model->RefreshRowFilter();
}

void TMainForm::cbSaveHistoryClick(bool checked)
{
    m_options.SaveHistory = checked;
    if (!checked) {
        const QString text = cbKeyword->currentText();
        cbKeyword->clear();
        cbKeyword->setEditText(text);
    }
}

}  // namespace sorvena
