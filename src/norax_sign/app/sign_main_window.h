// The signer's main window: the documents to sign (added with the open dialog or dropped), the
// signature's format, and "&Firma", which signs them all with one card search and one PIN.
#pragma once

#include "norax_sign/app/sign_document_list.h"
#include "norax_sign/sign_batch.h"

#include <QDialog>

#include <functional>
#include <memory>

namespace Ui {
class Sign_main_window;
}

namespace velin {

class CVelinSignDlg : public QDialog {
    Q_OBJECT

public:
    CVelinSignDlg(Sign_batch_options options, QWidget* parent = nullptr);
    ~CVelinSignDlg() override;

    void add_document(const std::string& path);
    const Sign_document_list& documents() const { return _documents; }
    // The time stamp chosen in the window (none while the PDF format is chosen).
    Timestamp_form timestamp_form() const;
    void set_timestamp_form(Timestamp_form form);

    // The buttons' work, callable by the tests as by the clicks.
    void add_documents_from_dialog();
    void remove_selected();
    void read_selected();
    // The batch's result: 0 closes the window, Result_cancelled leaves it open.
    uint32_t sign_all();
    // The time stamp chosen for every document, without signing; the same results.
    uint32_t timestamp_all();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void refresh();
    // Runs one batch under the wait cursor, shows its boxes and closes the window when it succeeded.
    uint32_t run_batch(const std::function<uint32_t(Sign_batch_ui&)>& batch);

    std::unique_ptr<Ui::Sign_main_window> _ui;
    Sign_batch_options _options;
    Sign_document_list _documents;
};

} // namespace velin
