#include "app/IndexersPanel.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>

#include <exception>
#include <thread>

#include "app/QtText.h"
#include "base/AsciiCase.h"
#include "base/Trace.h"
#include "search/TorznabSearchThread.h"

namespace sorvena {

// What a Test thread reaches the panel through: the pointer is read and
// cleared on the GUI thread only.
struct TIndexersPanel::Mailbox {
    QPointer<TIndexersPanel> panel;
};

TIndexersPanel::TIndexersPanel(QWidget* parent)
    : QGroupBox(QStringLiteral("Indexers"), parent), m_mailbox(std::make_shared<Mailbox>())
{
    setObjectName(QStringLiteral("grpIndexers"));
    m_mailbox->panel = this;
    auto* grid = new QGridLayout(this);
    lstIndexers = new QListWidget(this);
    lstIndexers->setObjectName(QStringLiteral("lstIndexers"));
    grid->addWidget(lstIndexers, 0, 0, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Name:"), this), 1, 0);
    edIndexerName = new QLineEdit(this);
    edIndexerName->setObjectName(QStringLiteral("edIndexerName"));
    grid->addWidget(edIndexerName, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("API URL:"), this), 2, 0);
    edIndexerUrl = new QLineEdit(this);
    edIndexerUrl->setObjectName(QStringLiteral("edIndexerUrl"));
    edIndexerUrl->setPlaceholderText(QStringLiteral("http://127.0.0.1:9117/api/v2.0/indexers/all/results/torznab/api?apikey=..."));
    grid->addWidget(edIndexerUrl, 2, 1);
    auto* buttons = new QHBoxLayout;
    struct Button {
        QPushButton** button;
        const char* name;
        const char* caption;
    };
    for (const Button& b : {Button{&btnIndexerAdd, "btnIndexerAdd", "Add"}, Button{&btnIndexerEdit, "btnIndexerEdit", "Edit"},
                            Button{&btnIndexerRemove, "btnIndexerRemove", "Remove"},
                            Button{&btnIndexerTest, "btnIndexerTest", "Test"}}) {
        *b.button = new QPushButton(QString::fromLatin1(b.caption), this);
        (*b.button)->setObjectName(QString::fromLatin1(b.name));
        buttons->addWidget(*b.button);
    }
    grid->addLayout(buttons, 3, 0, 1, 2);
    lblIndexerMessage = new QLabel(this);
    lblIndexerMessage->setObjectName(QStringLiteral("lblIndexerMessage"));
    lblIndexerMessage->setWordWrap(true);
    lblIndexerMessage->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(lblIndexerMessage, 4, 0, 1, 2);

    connect(btnIndexerAdd, &QPushButton::clicked, this, &TIndexersPanel::addClicked);
    connect(btnIndexerEdit, &QPushButton::clicked, this, &TIndexersPanel::editClicked);
    connect(btnIndexerRemove, &QPushButton::clicked, this, &TIndexersPanel::removeClicked);
    connect(btnIndexerTest, &QPushButton::clicked, this, &TIndexersPanel::testClicked);
    connect(lstIndexers, &QListWidget::currentRowChanged, this, &TIndexersPanel::rowChanged);
    connect(lstIndexers, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        if (!m_filling) itemToggled(lstIndexers->row(item), item->checkState() == Qt::Checked);
    });
    showList();
}

TIndexersPanel::~TIndexersPanel()
{
    m_mailbox->panel = nullptr;
}

void TIndexersPanel::SetEndpoints(const std::vector<TTorznabEndpoint>& endpoints)
{
    m_endpoints = endpoints;
    showList();
}

QString TIndexersPanel::MessageText() const
{
    return lblIndexerMessage->text();
}

void TIndexersPanel::showList()
{
    m_filling = true;
    const int current = lstIndexers->currentRow();
    lstIndexers->clear();
    for (const TTorznabEndpoint& endpoint : m_endpoints) {
        auto* item = new QListWidgetItem(BytesToQString(endpoint.Name), lstIndexers);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(endpoint.Enabled ? Qt::Checked : Qt::Unchecked);
        item->setToolTip(BytesToQString(endpoint.ApiUrl));
    }
    if (current >= 0 && current < lstIndexers->count()) lstIndexers->setCurrentRow(current);
    m_filling = false;
    const bool selected = lstIndexers->currentRow() >= 0;
    btnIndexerEdit->setEnabled(selected);
    btnIndexerRemove->setEnabled(selected);
}

void TIndexersPanel::changed()
{
    showList();
    if (m_changed) m_changed(m_endpoints);
}

void TIndexersPanel::rowChanged(int row)
{
    if (m_filling) return;
    const bool selected = row >= 0 && static_cast<size_t>(row) < m_endpoints.size();
    btnIndexerEdit->setEnabled(selected);
    btnIndexerRemove->setEnabled(selected);
    if (!selected) return;
    edIndexerName->setText(BytesToQString(m_endpoints[static_cast<size_t>(row)].Name));
    edIndexerUrl->setText(BytesToQString(m_endpoints[static_cast<size_t>(row)].ApiUrl));
}

void TIndexersPanel::itemToggled(int row, bool enabled)
{
    if (row < 0 || static_cast<size_t>(row) >= m_endpoints.size()) return;
    m_endpoints[static_cast<size_t>(row)].Enabled = enabled;
    if (m_changed) m_changed(m_endpoints);
}

QString TIndexersPanel::checkFields(TTorznabEndpoint& endpoint, int ignoreRow) const
{
    endpoint.Name = QStringToBytes(edIndexerName->text().trimmed());
    endpoint.ApiUrl = QStringToBytes(edIndexerUrl->text().trimmed());
    if (!IsValidEndpointName(endpoint.Name))
        return QStringLiteral("Give the indexer a name (without \"=\", not beginning with \"[\", \";\" or \"#\").");
    for (size_t i = 0; i < m_endpoints.size(); ++i)
        if (static_cast<int>(i) != ignoreRow && AsciiEqualsNoCase(m_endpoints[i].Name, endpoint.Name))
            return QStringLiteral("An indexer with this name is in the list already.");
    if (!AsciiStartsWithNoCase(endpoint.ApiUrl, "http://") && !AsciiStartsWithNoCase(endpoint.ApiUrl, "https://"))
        return QStringLiteral("The API URL must begin with http:// or https://.");
    return {};
}

void TIndexersPanel::addClicked()
{
    TTorznabEndpoint endpoint;
    const QString problem = checkFields(endpoint, -1);
    lblIndexerMessage->setText(problem);
    if (!problem.isEmpty()) return;
    if (m_endpoints.size() >= TorznabMaxEndpoints) {
        lblIndexerMessage->setText(QStringLiteral("The list is full."));
        return;
    }
    m_endpoints.push_back(endpoint);
    changed();
    lstIndexers->setCurrentRow(lstIndexers->count() - 1);
}

void TIndexersPanel::editClicked()
{
    const int row = lstIndexers->currentRow();
    if (row < 0 || static_cast<size_t>(row) >= m_endpoints.size()) return;
    TTorznabEndpoint endpoint;
    const QString problem = checkFields(endpoint, row);
    lblIndexerMessage->setText(problem);
    if (!problem.isEmpty()) return;
    endpoint.Enabled = m_endpoints[static_cast<size_t>(row)].Enabled;
    m_endpoints[static_cast<size_t>(row)] = endpoint;
    changed();
}

void TIndexersPanel::removeClicked()
{
    const int row = lstIndexers->currentRow();
    if (row < 0 || static_cast<size_t>(row) >= m_endpoints.size()) return;
    m_endpoints.erase(m_endpoints.begin() + row);
    lblIndexerMessage->clear();
    changed();
}

void TIndexersPanel::testClicked()
{
    const std::string url = QStringToBytes(edIndexerUrl->text().trimmed());
    if (url.empty()) {
        lblIndexerMessage->setText(QStringLiteral("Type the API URL to test."));
        return;
    }
    m_testing = true;
    btnIndexerTest->setEnabled(false);
    lblIndexerMessage->setText(QStringLiteral("Asking the indexer..."));
    // A thread of its own: the GUI stays responsive while the endpoint answers.
    try {
        std::thread([mailbox = m_mailbox, url] {
            FetchOptions options;
            options.attempts = 1;
            TTorznabTestResult result;
            try {
                result = TestTorznabEndpoint(url, options);
            } catch (const std::exception& e) {
                result = {false, e.what()};
            }
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [mailbox, result] {
                    TIndexersPanel* panel = mailbox->panel;
                    if (!panel) return;
                    panel->m_testing = false;
                    panel->btnIndexerTest->setEnabled(true);
                    panel->lblIndexerMessage->setText((result.Ok ? QStringLiteral("OK: ") : QStringLiteral("Failed: ")) +
                                                      BytesToQString(result.Text));
                },
                Qt::QueuedConnection);
        }).detach();
    } catch (const std::exception& e) {
        m_testing = false;
        btnIndexerTest->setEnabled(true);
        lblIndexerMessage->setText(QStringLiteral("Failed: ") + QString::fromLocal8Bit(e.what()));
    }
}

}  // namespace sorvena
