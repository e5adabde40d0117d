// The certificate dialog's page of the trusted lists: which lists are in use and until when, every
// service with its provider and status, and the buttons that fetch the lists anew from the
// addresses of the machine settings or import them from files. The refresh runs on a thread of its
// own; its outcome is shown when it ends, and the page then shows the lists just kept (used for
// verifying from the next start).
#pragma once

#include "VelinVerify/certificates/trusted_list_rows.h"
#include "trust/trusted_list_refresh.h"
#include "trust/trusted_store.h"

#include <QWidget>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace velin {

class Trusted_lists_page : public QWidget {
    Q_OBJECT

public:
    // store: for the viewer and the lists in use (null: none).
    explicit Trusted_lists_page(std::shared_ptr<Trusted_store> store, QWidget* parent = nullptr);
    ~Trusted_lists_page() override;

    void on_refresh();
    void on_import();
    void on_view();

signals:
    // The refresh has ended and its outcome was shown.
    void refresh_finished(bool succeeded);

private:
    void show_lists(std::shared_ptr<const Trusted_lists> lists);
    void start(List_sources sources);
    void finish(const Refresh_outcome& outcome);
    void update_buttons();

    std::shared_ptr<Trusted_store> _store;
    std::shared_ptr<const Trusted_lists> _shown;
    std::vector<Trusted_list_row> _rows;
    QLabel* _summary = nullptr;
    QTreeWidget* _services = nullptr;
    QPushButton* _refresh_button = nullptr;
    QPushButton* _import_button = nullptr;
    QPushButton* _view_button = nullptr;
    std::thread _worker;
    std::atomic<bool> _cancel{false};
    bool _running = false;
};

// Asked when the verifier's window opens on a machine where no list is installed yet.
extern const char* const Offer_trusted_lists_text;

// No list of the data folder is there and no trusted list was ever kept: a fresh installation.
bool no_lists_installed(const std::string& data_folder, const std::string& list_folder);

// On a fresh installation (the common data folder, the user's list folder), asks whether to fetch
// the trusted lists now; on Yes fetches them as "Aggiorna le liste" does, in a window with the
// lists page that closes once the outcome was shown. Returns whether lists were fetched and kept.
bool offer_trusted_lists(QWidget* parent);

} // namespace velin
