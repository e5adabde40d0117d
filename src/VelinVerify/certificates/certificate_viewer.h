// The verifier's certificate viewer: what a certificate says (general page), every field of it
// (details page), and its certification path as chain building finds it in the merged store of
// the trusted lists (path page).
#pragma once

#include "VelinVerify/certificates/certificate_texts.h"
#include "trust/certificate.h"
#include "trust/trusted_store.h"

#include <QDialog>

#include <memory>
#include <vector>

class QWidget;

namespace Ui {
class Certificate_viewer;
}

namespace velin {

inline constexpr const char* Certificate_view_failed_text = "La visualizzazione del certificato è fallita.";

// Shows the certificate against the shared trusted store, modal over parent. When it cannot be
// shown (an empty certificate, no merged store), says "La visualizzazione del certificato è
// fallita." in an error box titled "Errore" over the active window.
void view_certificate(const Certificate& certificate, QWidget* parent = nullptr);

// The same against the given trusted store (null: none).
void view_certificate_in_store(const Certificate& certificate, const std::shared_ptr<Trusted_store>& store,
                               QWidget* parent = nullptr);

class Certificate_viewer : public QDialog {
    Q_OBJECT

public:
    // Requires a valid certificate and a store with a merged store.
    Certificate_viewer(const Certificate& certificate, std::shared_ptr<Trusted_store> store, QWidget* parent = nullptr);
    ~Certificate_viewer() override;

    const Certification_path& path() const { return _path; }

private:
    void fill_general();
    void fill_details();
    void fill_path();
    void on_path_selection();
    void on_view_path_certificate();

    Certificate _certificate;
    std::shared_ptr<Trusted_store> _store;
    Certification_path _path;
    std::unique_ptr<Ui::Certificate_viewer> _ui;
};

} // namespace velin
