// CVelinVerifyDlg: the page of one envelope layer in the main window's tabs. It draws what its
// Layer_analysis reports (signers, the signature shown, the "Attività" lines, the progress bar)
// and forwards the user's commands: another signer, "Mostra certificato", "Leggi", "Salva...".
#pragma once

#include "VelinVerify/pipeline/layer_analysis.h"

#include <QIcon>
#include <QWidget>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace Ui {
class Verify_layer_dialog;
}

class QListWidget;

namespace velin {

class CVelinVerifyDlg : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* Application_title = "Velin Manager";

    CVelinVerifyDlg(std::shared_ptr<Layer_analysis> layer, QWidget* parent = nullptr);
    ~CVelinVerifyDlg() override;

    Layer_analysis& layer() const { return *_layer; }

    // Redraws what the change touched.
    void refresh(Layer_change change);
    // Removes the preview copy (asking while it cannot be removed) and stops the layer.
    void close_layer();

    // The commands, also for tests.
    // "Leggi": the document, or for a container of several files the list to choose one from.
    void read_document();
    // One file of a container, by its place in container_listing.
    void read_container_file(size_t index);
    void save_document();
    void show_certificate();
    void clear_crl_cache();

    // The preview copies made, oldest first; removed when the layer closes.
    const std::vector<std::string>& preview_copies() const { return _preview_copies; }

    // The icon of a line of the given severity (error, question, warning, information, program).
    static QIcon severity_icon(Line_severity severity);

private:
    void draw_lines();
    void draw_progress();
    void draw_controls();
    void draw_signature();
    void choose_container_file();
    // The document opened from a private temporary copy by the desktop's program for its type.
    void show_preview(const std::string& name, const Document_bytes& content);
    static void fill(QListWidget* list, const std::vector<Status_line>& lines);

    std::unique_ptr<Ui::Verify_layer_dialog> _ui;
    std::shared_ptr<Layer_analysis> _layer;
    std::vector<std::string> _preview_copies;
    bool _closed = false;
};

} // namespace velin
