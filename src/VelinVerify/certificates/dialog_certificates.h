// The certificate list dialog: the user's own trusted certificates ("Personale": import, export,
// remove, view), the CNIPA list ("Fonti attendibili (CNIPA)": view only) and the trusted lists
// ("Liste di fiducia": services and their status, refresh). Changes to the user
// list are saved at once and are at once seen by chain building through the merged store.
#pragma once

#include "trust/certificate.h"
#include "trust/certificate_store.h"
#include "trust/trusted_store.h"

#include <QDialog>
#include <QWidget>

#include <memory>
#include <vector>

namespace Ui {
class Certificates_page;
class Dialog_certificates;
} // namespace Ui

namespace velin {

// One page: the certificates of one store in a sorted list.
class CCertificatesDialog : public QWidget {
    Q_OBJECT

public:
    // store: the list shown (null: an empty page that offers nothing); read_only hides
    // "Importa...", "Esporta..." and "Rimuovi".
    CCertificatesDialog(std::shared_ptr<Certificate_store> store, bool read_only,
                        std::shared_ptr<Trusted_store> trusted_store, QWidget* parent = nullptr);
    ~CCertificatesDialog() override;

    // Empties the list and adds every certificate of the store.
    void fill_list();

    void on_import();
    void on_export();
    void on_remove();
    void on_view();

private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void update_buttons();
    // The certificate of the selected item; nothing without a selection.
    const Certificate* selected_certificate() const;

    std::shared_ptr<Certificate_store> _store;
    const bool _read_only;
    std::shared_ptr<Trusted_store> _trusted_store;
    std::vector<Certificate> _certificates; // item data: an index into this
    std::unique_ptr<Ui::Certificates_page> _ui;
};

class Dialog_certificates : public QDialog {
    Q_OBJECT

public:
    explicit Dialog_certificates(std::shared_ptr<Trusted_store> store, QWidget* parent = nullptr);
    ~Dialog_certificates() override;

private:
    std::shared_ptr<Trusted_store> _store;
    std::unique_ptr<Ui::Dialog_certificates> _ui;
};

} // namespace velin
