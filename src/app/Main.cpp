#include "app/Main.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabWidget>
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

// Vertical grid lines between the cells of the result list.
class TGridDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
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
    m_messages = std::make_shared<TGuiMessages>(this, std::move(handlers));
    m_state = std::make_shared<TSearchState>(m_messages);
    m_state->Hosts = hosts;
    m_state->SetOptions(m_options);

    m_model = new TResultModel(this);
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
    statusBar()->addWidget(lblStatus, 1);

    const QString caption = QStringLiteral("Sorvena v%1%2%3")
                                .arg(AppVersion / 100)
                                .arg(QLocale().decimalPoint())
                                .arg(AppVersion % 100, 2, 10, QLatin1Char('0'));
    setWindowTitle(caption);
    resize(m_options.Width, m_options.Height);
    move(m_options.Left, m_options.Top);

    cbAutoCheckPeers->setChecked(m_options.AutoCheckPeer);
    cbOnlyShowKeywordFile->setChecked(m_options.OnlyKeywordFile);
    cbOnlyShowHasPeers->setChecked(m_options.OnlyHasPeers);
    cbAutoUpdate->setChecked(m_options.AutoUpdate);
    cbSaveHistory->setChecked(m_options.SaveHistory);
    connect(cbAutoCheckPeers, &QCheckBox::clicked, this, &TMainForm::cbAutoCheckPeersClick);
    connect(cbOnlyShowKeywordFile, &QCheckBox::clicked, this, &TMainForm::cbOnlyShowKeywordFileClick);
    connect(cbOnlyShowHasPeers, &QCheckBox::clicked, this, &TMainForm::cbOnlyShowHasPeersClick);
    connect(cbSaveHistory, &QCheckBox::clicked, this, &TMainForm::cbSaveHistoryClick);
    if (m_options.SaveHistory)
        for (const std::string& keyword : SplitKeywordHistory(m_options.Keyword))
            cbKeyword->addItem(BytesToQString(keyword));
    cbKeyword->setCurrentIndex(-1);
    applyFilterOptions();

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
    for (int i = 0; i < ResultColumnCount; ++i) header->resizeSection(i, ResultColumns[i].Width);
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
        bool built;
    };
    const Def defs[] = {
        {&actSearchOrStop, "actSearchOrStop", "Search", QKeySequence(Qt::Key_F5), true},
        {&actSaveAll, "actSaveAll", "Save Search Result...", QKeySequence(Qt::CTRL | Qt::Key_S), true},
        {&actLoad, "actLoad", "Load Search Result...", QKeySequence(Qt::CTRL | Qt::Key_O), true},
        {&actDownload, "actDownload", "Download", QKeySequence(Qt::CTRL | Qt::Key_D), true},
        {&actSaveTorrent, "actSaveTorrent", "Save Torrent...", QKeySequence(Qt::CTRL | Qt::Key_T), true},
        {&actCheckPeers, "actCheckPeers", "Check Peers", QKeySequence(Qt::CTRL | Qt::Key_P), false},
        {&actExpandAll, "actExpandAll", "Expand All", QKeySequence(Qt::CTRL | Qt::Key_E), true},
        {&actDeleteTorrent, "actDeleteTorrent", "Delete", QKeySequence(Qt::Key_Delete), true},
        {&actFind, "actFind", "Find...", QKeySequence(Qt::CTRL | Qt::Key_F), true},
        {&actFindNext, "actFindNext", "Find Next", QKeySequence(Qt::Key_F3), true},
        {&actCollapseAll, "actCollapseAll", "Collapse All", QKeySequence(Qt::CTRL | Qt::Key_C), true},
        {&actSelectAll, "actSelectAll", "Select All", QKeySequence(Qt::CTRL | Qt::Key_A), true},
        {&actHelpContent, "actHelpContent", "Content", QKeySequence(Qt::Key_F1), true},
        {&actSupport, "actSupport", "Support", QKeySequence(), true},
        {&actHelpUpdate, "actHelpUpdate", "Check Update", QKeySequence(), true},
        {&actWebSite, "actWebSite", "Website", QKeySequence(), true},
        {&actAbout, "actAbout", "About...", QKeySequence(), true},
        {&actCopyMagnet, "actCopyMagnet", "Copy Magnet Link", QKeySequence(Qt::CTRL | Qt::Key_M), true},
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
        if (!d.built) m_notYetBuilt.push_back(action);
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
    QMenu* torrent = menuBar()->addMenu(QStringLiteral("Torrent"));
    torrent->addActions({actDownload, actCheckPeers, actSaveTorrent, actCopyMagnet, actDeleteTorrent});
    torrent->addSeparator();
    torrent->addActions({actSaveAll, actLoad});
    QMenu* search = menuBar()->addMenu(QStringLiteral("Search"));
    search->addActions({actFind, actFindNext});
    QMenu* view = menuBar()->addMenu(QStringLiteral("View"));
    view->addActions({actExpandAll, actCollapseAll});
    view->addSeparator();
    view->addAction(actSelectAll);
    QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
    help->addActions({actHelpContent, actSupport, actHelpUpdate, actWebSite});
    help->addSeparator();
    help->addAction(actAbout);

    pmTree = new QMenu(this);
    pmTree->setObjectName(QStringLiteral("pmTree"));
    pmTree->addActions({actDownload, actCheckPeers, actSaveTorrent, actCopyMagnet, actDeleteTorrent});
    pmTree->addSeparator();
    pmTree->addActions({actFind, actFindNext});
    pmTree->addSeparator();
    pmTree->addActions({actSaveAll, actLoad});
    pmTree->addSeparator();
    pmTree->addActions({actExpandAll, actCollapseAll, actSelectAll});

    for (QMenu* menu : {torrent, search, view, help, pmTree})
        connect(menu, &QMenu::aboutToShow, this, &TMainForm::UpdateActions);
}

void TMainForm::FormResize()
{
    const int width = pnlKeyword->width();
    const int height = cbKeyword->sizeHint().height();
    const int top = (KeywordBarHeight - height) / 2;
    cbCat->setGeometry(CatLeft, top, CatWidth, height);
    cbKeyword->setGeometry(KeywordLeft, top, std::max(0, width - CatWidth - 120), height);
    btnSearch->setGeometry(width - SearchButtonWidth - 20, top, SearchButtonWidth, height);
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
    m_summary.clear();
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
    event->accept();
}

// ---- status and enablement

QString TMainForm::StatusText() const
{
    return lblStatus->text();
}

void TMainForm::updateStatus()
{
    if (m_searching) {
        const auto busy = std::count(m_state->SiteBusy.begin(), m_state->SiteBusy.end(), true);
        lblStatus->setText(QStringLiteral("Searching: %1 of %2 sites busy, %3 torrents, %4 files")
                               .arg(busy)
                               .arg(m_sitesStarted)
                               .arg(m_torrentCount)
                               .arg(m_fileTotal));
    } else {
        lblStatus->setText(m_summary.isEmpty() ? QStringLiteral("Ready") : m_summary);
    }
}

bool TMainForm::anyTorrentSelected() const
{
    const QItemSelection selection = treeSeed->selectionModel()->selection();
    return std::any_of(selection.begin(), selection.end(),
                       [](const QItemSelectionRange& range) { return !range.parent().isValid(); });
}

int TMainForm::selectedRowCount() const
{
    int rows = 0;
    for (const QItemSelectionRange& range : treeSeed->selectionModel()->selection()) rows += range.height();
    return rows;
}

void TMainForm::UpdateActions()
{
    const bool hasRows = !m_model->IsEmpty();
    const QString keyword = cbKeyword->currentText();
    const bool keywordGiven = !normalisedKeyword(QStringToBytes(keyword)).empty();
    actSearchOrStop->setEnabled(m_searching || keywordGiven);
    actSearchOrStop->setText(m_searching ? QStringLiteral("Stop") : QStringLiteral("Search"));

    const bool torrentSelected = anyTorrentSelected();
    const QModelIndex focused = treeSeed->currentIndex();
    actSaveAll->setEnabled(!m_searching && hasRows);
    actLoad->setEnabled(!m_searching);
    actDownload->setEnabled(torrentSelected);
    actCheckPeers->setEnabled(torrentSelected);
    actDeleteTorrent->setEnabled(torrentSelected);
    actSaveTorrent->setEnabled(selectedRowCount() == 1 && focused.isValid() && !focused.parent().isValid());
    actExpandAll->setEnabled(hasRows);
    actCollapseAll->setEnabled(hasRows);
    actFind->setEnabled(hasRows);
    actFindNext->setEnabled(hasRows && !m_findText.isEmpty());
    actSelectAll->setEnabled(hasRows);
    actHelpContent->setEnabled(true);
    updateMagnetActions(torrentSelected);
    for (QAction* action : m_notYetBuilt) action->setEnabled(false);
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
    if (cbKeyword && watched == cbKeyword->lineEdit() && event->type() == QEvent::KeyPress)
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
}

void TMainForm::actCollapseAllExecute()
{
    treeSeed->collapseAll();
}

void TMainForm::actSelectAllExecute()
{
    // Every row, file rows of collapsed torrents included.
    QItemSelection all;
    const int torrents = m_model->rowCount();
    if (torrents > 0) all.select(m_model->index(0, 0), m_model->index(torrents - 1, ResultColumnCount - 1));
    for (int row = 0; row < torrents; ++row) {
        const QModelIndex parent = m_model->index(row, 0);
        const int files = m_model->rowCount(parent);
        if (files > 0)
            all.select(m_model->index(0, 0, parent), m_model->index(files - 1, ResultColumnCount - 1, parent));
    }
    treeSeed->selectionModel()->select(all, QItemSelectionModel::ClearAndSelect);
}

void TMainForm::actAboutExecute()
{
    QMessageBox::about(this, windowTitle(), windowTitle());
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
