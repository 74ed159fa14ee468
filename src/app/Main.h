#pragma once
// TMainForm: the main window. It owns the program-wide search state that the
// workers share, the result list (treeSeed over a TResultModel) and the
// receiver of the worker messages, starts and stops searches, and turns the
// workers' messages into rows, peer counts and the end-of-search report.
//
// GUI thread only. Workers reach it solely through TGuiMessages; closing the
// window closes that receiver first, so a worker never waits on a closing
// window, and the window never waits for a worker.

#include <QMainWindow>
#include <QMessageBox>
#include <QUrl>

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "app/AppConfig.h"
#include "settings/IniOption.h"
#include "app/ResultModel.h"
#include "app/Settings.h"
#include "search/SiteCatalogue.h"
#include "settings/TorznabEndpoints.h"
#include "swarm/MetadataThread.h"
#include "tracker/CheckPingThread.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;
class QTabWidget;
class QTimer;
class QToolButton;
class QTreeView;
class QDialog;
class QFileDialog;
class QLineEdit;
class QRadioButton;

namespace sorvena {

class TExtensionIcons;
class TGuiMessages;
class TIndexersPanel;
class TResultModel;
class TSearchState;
class TTorrentEx;

// The program version as the update check knows it (1.12 times 100).
inline constexpr int AppVersion = AppVersionMajor * 100 + AppVersionMinor;

struct TUpdateInfo;
class TUpdateMailbox;

class TMainForm : public QMainWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TMainForm)

public:
    explicit TMainForm(const TSiteHosts& hosts = TSiteHosts::Defaults(),
                       const TIniOptions& options = DefaultIniOptions(), QWidget* parent = nullptr);
    // The program's window (FormCreate): reads the settings file at
    // settingsPath (creating it, and registering the results-file type, on
    // the first run), and loads the results file that arguments[1] names, if
    // it exists, before the window is first shown. Closing the window writes
    // the settings back (FormClose).
    TMainForm(const QString& settingsPath, const QStringList& arguments, QWidget* parent = nullptr);
    ~TMainForm() override;

    // The settings record as closing the window writes it: the options,
    // the window's placement and the first ten keywords of the history.
    TIniOptions FormCloseOptions() const;
    const QString& SettingsPath() const { return m_settingsPath; }

    // The result list's column widths (by column index; "Name" takes the
    // free width) and left-to-right order, as the settings file keeps them.
    TColumnLayout ColumnLayout() const;

    // Search control.
    void BeginSearch();
    void StopSearch();
    void FinishSearch();
    bool Searching() const { return m_searching; }
    int TorrentCount() const { return m_torrentCount; }
    int FileTotal() const { return m_fileTotal; }

    // MsgHook: the four worker messages, handled on the GUI thread.
    void MsgTorrentFound(std::unique_ptr<TTorrentEx> entry);
    void MsgSiteDone(int siteIndex);
    void MsgPeerCount(std::string_view infoHashHex, int32_t count);
    // In any state (TorznabWindow.cpp): the full torrent takes its magnet
    // row's place, or the row's hint tells why there is none; a report for a
    // row that is gone or no longer a magnet is dropped.
    void MsgMetadataFound(std::string_view infoHashHex, std::unique_ptr<TTorrentEx> torrent, std::string_view reason);

    // Results file. LoadResultsFile replaces the list with the file's torrents
    // and takes its keyword and category; on an unreadable file it reports the
    // error in a message box and returns false (the list is left empty). A
    // file without a comment loads nothing, silently (true).
    // FormCreate calls it for a file named on the command line.
    bool LoadResultsFile(const QString& path);
    // Writes the whole list (hidden rows too, in the current order) with the
    // current search's keyword and category; throws on failure, and the
    // previous file at path is then left as it was.
    void SaveResultsFile(const QString& path);

    void actSearchOrStopExecute();
    // Every command's enablement (and the Search/Stop caption), evaluated
    // again whenever something it depends on changes.
    void UpdateActions();

    // The Torznab endpoints searched beside the catalogue (TorznabWindow.cpp):
    // into the search state and the Option page's list. Changes made on that
    // page are also written to the settings file at once.
    void SetTorznabEndpoints(const std::vector<TTorznabEndpoint>& endpoints);
    // Why a site of the current or last search failed, "" when it did not:
    // "<site name>: <reason>" (a Torznab endpoint's error, rate limit...).
    QString SiteFailureText(int siteIndex) const;

    TResultModel* Model() const { return m_model; }
    QTreeView* Tree() const { return treeSeed; }
    const std::shared_ptr<TSearchState>& State() const { return m_state; }
    const std::shared_ptr<TGuiMessages>& Messages() const { return m_messages; }
    QString StatusText() const;
    // How a started site of the last search fares, as the Sites list says it
    // ("searching", "3 torrents", "name not resolved"); empty for a site
    // that was not started.
    QString SiteStateText(int slot) const;

    // The waits of the peer checks that Check Peers starts (tests shorten them).
    void SetPeerCheckOptions(const PeerCheckOptions& options) { m_peerCheckOptions = options; }
    // How file lists are fetched, by Fetch File List and by the searches
    // (tests put a fake fetcher in). Set it before the first search.
    void SetMetadataOptions(const MetadataThreadOptions& options);
    // Where Check Update reads the update information.
    void SetUpdateUrl(std::string url) { m_updateUrl = std::move(url); }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // The end-of-search report: a modal box.
    virtual void ShowSummary(const QString& text);
    // The Help menu's boxes and the documents it opens (HelpMenu.cpp).
    virtual QMessageBox::StandardButton ShowMessageBox(QMessageBox::Icon icon, const QString& text,
                                                       QMessageBox::StandardButtons buttons);
    // False when no program could be started for it.
    virtual bool OpenDocument(const QUrl& url);
    // The results-file and torrent commands' questions (tests answer them):
    // SaveDialog and OpenDialog as the command set them up, "" on cancel; the
    // delete confirmation, true for Yes.
    virtual QString ChooseSaveFile();
    virtual QString ChooseOpenFile();
    virtual bool ConfirmDelete();
    // Whether the desktop has a program for torrent files (Download).
    virtual bool CanOpenTorrentFiles();
    // The file name the save dialog proposes.
    QString SaveDialogFileName() const;

private:
    TMainForm(TSettingsFileContents contents, const QString& settingsPath, const QStringList& arguments,
              QWidget* parent);
    void FormClose();
    void startUpdateCheck();
    void updateCheckDone(const TUpdateInfo& info);
    void actHelpContentExecute();
    void actSupportExecute();
    void actWebSiteExecute();
    void actHelpUpdateExecute();

    void createSearchPage(QWidget* page);
    void createOptionPage(QWidget* page);
    void createActions();
    void createMenus();
    void FormResize();
    int defaultColumnWidth(int column) const;
    void applyColumnLayout(const TColumnLayout& layout);
    bool columnsAsDesigned() const;
    void fitToScreen();
    void applyFilterOptions();
    void updateStatus();
    // The searched sites in the status bar (SiteStatus.cpp).
    struct TSiteCounts {
        int started = 0, searching = 0, answered = 0, stopped = 0, failed = 0;
        QString reason;  // why every failed site failed, when that is one reason
    };
    void createSiteStatus();
    TSiteCounts siteCounts() const;
    QString siteStatusSentence(const TSiteCounts& counts) const;
    QString siteListText() const;
    void updateSiteButton(const TSiteCounts& counts);
    bool overridesShortcut(QKeyEvent* event);
    void trace(const char* routine, const std::exception& e) const;

    void treeSeedHeaderClick(int column);
    void treeSeedHeaderMoved();
    void treeSeedMouseMove(const QPoint& pos);
    void treeSeedMouseUp(const QPoint& pos);
    void treeSeedContextMenu(const QPoint& pos);
    bool cbKeywordKeyDown(QKeyEvent* event);
    void cbAutoCheckPeersClick(bool checked);
    void cbOnlyShowKeywordFileClick(bool checked);
    void cbOnlyShowHasPeersClick(bool checked);
    void cbSaveHistoryClick(bool checked);

    void actExpandAllExecute();
    void actCollapseAllExecute();
    void actSelectAllExecute();
    void actAboutExecute();

    // Results file and torrent commands (ResultCommands.cpp).
    void actSaveAllExecute();
    void actLoadExecute();
    void OpenSelectedTorrents();
    void noProgramForTorrents(const QString& folder);
    void actSaveTorrentExecute();
    void actDeleteTorrentExecute();
    void actFindExecute();
    void FindDialogFind();
    void FindNextMatch();
    void createCommandDialogs();
    // Torznab endpoints and magnet rows (TorznabWindow.cpp).
    void createIndexersPanel(QWidget* optionPage);
    void connectMagnetCommands();
    void updateMagnetActions(bool torrentSelected);
    void actCopyMagnetExecute();
    // Fetch File List: a file-list fetch for every selected magnet row not
    // being fetched already. These survive Stop and end when the window closes.
    void actFetchFileListExecute();
    bool anyMagnetSelected() const;
    void terminateManualFetches();
    void cbAutoFetchFilesClick(bool checked);
    // A full torrent whose magnet row is listed takes its place; true when it did.
    bool replaceMagnetRow(std::unique_ptr<TTorrentEx>& entry);
    // The general error report: the text in a box with a stop icon.
    void showError(const QString& text);

    bool anyTorrentSelected() const;
    int selectedRowCount() const;
    // The rows the commands act on, in tree order: after Select All every
    // row (hidden ones included), after a Find match on a hidden row that
    // row, otherwise the view's selection.
    std::vector<TResultModel::TRowPos> selectedPositions() const;
    // The sibling positions of the selected torrent rows, in list order.
    std::vector<int> selectedTorrentPositions() const;
    TResultModel::TRowPos focusedPosition() const;
    // Selects every row the view shows (file rows of expanded torrents);
    // the rest of "all" is m_allSelected.
    void selectVisibleRows();
    void actCheckPeersExecute();

    TIniOptions m_options;
    QString m_settingsPath;  // empty: a window that keeps no settings (tests)
    std::string m_updateUrl = UpdateInfoUrl;
    PeerCheckOptions m_peerCheckOptions;
    std::vector<std::weak_ptr<TCheckPingThread>> m_manualChecks;  // started by Check Peers
    MetadataThreadOptions m_metadataOptions;
    std::vector<std::weak_ptr<TMetadataThread>> m_manualFetches;  // started by Fetch File List
    // Info hashes of this search's magnet rows that got their files from the
    // swarm: the torrent file an endpoint sends for one later is a duplicate.
    std::unordered_set<std::string> m_fetchedHashes;
    bool m_manualUpdateCheck = false;
    std::shared_ptr<TUpdateMailbox> m_updateMailbox;
    std::shared_ptr<TGuiMessages> m_messages;
    std::shared_ptr<TSearchState> m_state;
    bool m_searching = false;
    int m_torrentCount = 0;
    int m_fileTotal = 0;
    int m_sitesStarted = 0;
    QString m_summary;
    bool m_movingHeader = false;
    std::vector<int> m_defaultWidths;  // by column index
    bool m_columnsStored = false;      // the settings file holds a column layout

    TResultModel* m_model = nullptr;
    QTabWidget* pcMain = nullptr;
    QTreeView* treeSeed = nullptr;
    QWidget* pnlKeyword = nullptr;
    QComboBox* cbCat = nullptr;
    QComboBox* cbKeyword = nullptr;
    QPushButton* btnSearch = nullptr;
    QCheckBox* cbAutoCheckPeers = nullptr;
    QCheckBox* cbAutoFetchFiles = nullptr;
    QCheckBox* cbOnlyShowHasPeers = nullptr;
    QCheckBox* cbOnlyShowKeywordFile = nullptr;
    QCheckBox* cbAutoUpdate = nullptr;
    QCheckBox* cbSaveHistory = nullptr;
    QLabel* lblStatus = nullptr;
    QToolButton* btnSites = nullptr;  // opens pmSites: every searched site and how it fares
    QMenu* pmSites = nullptr;
    QLabel* lblSites = nullptr;
    QTimer* m_siteTimer = nullptr;
    std::vector<bool> m_startedSites;  // by the last search, one per site (the catalogue, then the indexers)
    QMenu* pmTree = nullptr;

    QAction* actSearchOrStop = nullptr;
    QAction* actSaveAll = nullptr;
    QAction* actLoad = nullptr;
    QAction* actDownload = nullptr;
    QAction* actSaveTorrent = nullptr;
    QAction* actCheckPeers = nullptr;
    QAction* actExpandAll = nullptr;
    QAction* actDeleteTorrent = nullptr;
    QAction* actFind = nullptr;
    QAction* actFindNext = nullptr;
    QAction* actCollapseAll = nullptr;
    QAction* actSelectAll = nullptr;
    QAction* actHelpContent = nullptr;
    QAction* actSupport = nullptr;
    QAction* actHelpUpdate = nullptr;
    QAction* actWebSite = nullptr;
    QAction* actAbout = nullptr;
    QAction* actCopyMagnet = nullptr;
    QAction* actFetchFileList = nullptr;
    TIndexersPanel* pnlIndexers = nullptr;
    std::vector<QAction*> m_actions;       // every action with a shortcut
    QString m_findText = QStringLiteral("mp3");
    QFileDialog* SaveDialog = nullptr;
    QFileDialog* OpenDialog = nullptr;
    QDialog* FindDialog = nullptr;  // modeless; its text, options and direction last the whole run
    QLineEdit* edFindText = nullptr;
    QCheckBox* cbFindWholeWord = nullptr;
    QCheckBox* cbFindMatchCase = nullptr;
    QRadioButton* rbFindUp = nullptr;
    QRadioButton* rbFindDown = nullptr;
    // A Find match on a row the filters hide: the view cannot focus it, so
    // Find Next goes on from here until the focus moves.
    TResultModel::TRowPos m_hiddenFindPos;
    // Select All is in force: every row counts as selected, also the ones
    // the filters hide (the view holds no state for those), until the user
    // changes the selection or the list is replaced.
    bool m_allSelected = false;
    int m_modelChanging = 0;  // inside a change of the model's rows or layout
    bool m_selectingAll = false;
};

}  // namespace sorvena
