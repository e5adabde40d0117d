// Dlg_verify_onion: the verifier's main window. One tab per envelope layer (the file opened
// first, then each envelope found inside another), the menus, dropping files, and the one box
// that sums up all layers once each has reported.
#pragma once

#include "VelinVerify/pipeline/pipeline_services.h"
#include "VelinVerify/pipeline/verification_session.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Ui {
class Verify_main_window;
}

class QAction;
class QMimeData;
class QPrinter;

namespace velin {

class CVelinVerifyDlg;
class Settings_record;

class Dlg_verify_onion : public QDialog, public Session_observer {
    Q_OBJECT
public:
    // settings: read at each opening (the options dialog changes it for the next analysis).
    Dlg_verify_onion(Settings_record& settings, Pipeline_services services, QWidget* parent = nullptr);
    ~Dlg_verify_onion() override;

    // Closes every layer and opens path as the first one; a detached signature is checked against
    // detached_document when one is named.
    void open_path(const std::string& path, const std::string& detached_document = {});
    // Asks for the document of a detached signature found without it, and verifies again with it.
    void choose_detached_document();
    // The commands of the menus and buttons.
    void choose_file();
    void manage_certificates();
    void edit_options();
    void activity_report();
    // "Salva rapporto...": the report of the file verified, as a PDF/A "Rapporto di verifica" or,
    // when the name chosen ends in ".xml", as the ETSI validation report. "Stampa...": the same
    // PDF pages through the print dialog. Both only once the verification has ended.
    void save_report();
    void print_report();
    // What "Stampa..." asks the user with: the print dialog for printer (true: print). Tests put
    // in their own, which chooses the printer's output and answers, so none waits on the dialog.
    using Print_dialog = std::function<bool(QPrinter& printer, QWidget* parent)>;
    void set_print_dialog(Print_dialog dialog);
    void show_help();
    void show_about();
    // Files dropped on the window: the first one is opened.
    void open_dropped(const QMimeData& data);
    // Closes every layer (preview copies removed, busy workers stopped) and removes the tabs.
    void close_all_layers();

    const Verification_session* session() const { return _session.get(); }
    std::vector<CVelinVerifyDlg*> layer_pages() const;
    QAction* action(const char* object_name) const;

    // Session_observer
    void layer_added(Layer_analysis& layer) override;
    void layer_changed(Layer_analysis& layer, Layer_change change) override;
    void message_box(const Box_request& box, Layer_analysis* layer) override;
    void layers_closed() override;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void build_menus();
    CVelinVerifyDlg* page_of(const Layer_analysis& layer) const;
    // The report of the verification shown, with its facts; none (the user told why) before it
    // has ended.
    struct Shown_report;
    std::optional<Shown_report> shown_report();

    std::unique_ptr<Ui::Verify_main_window> _ui;
    Settings_record& _settings;
    const Pipeline_services _services;
    std::unique_ptr<Verification_session> _session;
    std::string _path;
    // The document of a detached signature was asked for once for this file.
    bool _detached_asked = false;
    Print_dialog _print_dialog;
};

} // namespace velin
