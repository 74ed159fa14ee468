#pragma once
// TIndexersPanel: the "Indexers" list of the Option page. The user adds,
// edits, removes, enables and disables Torznab endpoints (name and API URL),
// and Test asks the endpoint named in the fields for its capabilities
// (t=caps) and shows its categories or the error.
//
// Every change calls the endpoints handler with the whole list (the window
// puts it into the search state and the settings file). Test runs its fetch
// on a thread of its own; the answer comes back as a queued call on the GUI
// thread and is dropped when the panel is gone by then.
//
// GUI thread only.

#include <QGroupBox>

#include <functional>
#include <memory>
#include <vector>

#include "settings/TorznabEndpoints.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace sorvena {

class TIndexersPanel final : public QGroupBox {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TIndexersPanel)

public:
    using EndpointsChanged = std::function<void(const std::vector<TTorznabEndpoint>&)>;

    explicit TIndexersPanel(QWidget* parent = nullptr);
    ~TIndexersPanel() override;

    void SetEndpoints(const std::vector<TTorznabEndpoint>& endpoints);
    const std::vector<TTorznabEndpoint>& Endpoints() const { return m_endpoints; }
    void OnChanged(EndpointsChanged handler) { m_changed = std::move(handler); }

    // The text under the buttons: the outcome of Test, or why an entry was refused.
    QString MessageText() const;
    // True while a Test waits for its answer.
    bool Testing() const { return m_testing; }

private:
    void addClicked();
    void editClicked();
    void removeClicked();
    void testClicked();
    void rowChanged(int row);
    void itemToggled(int row, bool enabled);
    // The fields as an endpoint; "" or the reason they cannot be one.
    QString checkFields(TTorznabEndpoint& endpoint, int ignoreRow) const;
    void showList();
    void changed();

    std::vector<TTorznabEndpoint> m_endpoints;
    EndpointsChanged m_changed;
    bool m_filling = false;
    bool m_testing = false;
    struct Mailbox;
    std::shared_ptr<Mailbox> m_mailbox;

    QListWidget* lstIndexers = nullptr;
    QLineEdit* edIndexerName = nullptr;
    QLineEdit* edIndexerUrl = nullptr;
    QPushButton* btnIndexerAdd = nullptr;
    QPushButton* btnIndexerEdit = nullptr;
    QPushButton* btnIndexerRemove = nullptr;
    QPushButton* btnIndexerTest = nullptr;
    QLabel* lblIndexerMessage = nullptr;
};

}  // namespace sorvena
