#include "VelinVerify/certificates/dialog_certificates.h"

#include "VelinVerify/certificates/certificate_files.h"
#include "VelinVerify/certificates/certificate_texts.h"
#include "VelinVerify/certificates/certificate_viewer.h"
#include "VelinVerify/certificates/trusted_lists_page.h"
#include "common/failure.h"
#include "common/file_dialog.h"
#include "common/message_box.h"
#include "common/trace.h"
#include "envelope/binary_file.h"
#include "trust/report.h"
#include "ui_certificates_page.h"
#include "ui_dialog_certificates.h"

#include <QEvent>
#include <QListWidgetItem>

namespace velin {

namespace {

constexpr int Certificate_index_role = Qt::UserRole;

// Items sort as a list box sorts them: without regard to case first.
class Certificate_item : public QListWidgetItem {
public:
    using QListWidgetItem::QListWidgetItem;

    bool operator<(const QListWidgetItem& other) const override
    {
        const int order = text().compare(other.text(), Qt::CaseInsensitive);
        return order != 0 ? order < 0 : text() < other.text();
    }
};

} // namespace

CCertificatesDialog::CCertificatesDialog(std::shared_ptr<Certificate_store> store, bool read_only,
                                         std::shared_ptr<Trusted_store> trusted_store, QWidget* parent)
    : QWidget(parent),
      _store(std::move(store)),
      _read_only(read_only),
      _trusted_store(std::move(trusted_store)),
      _ui(std::make_unique<Ui::Certificates_page>())
{
    _ui->setupUi(this);
    _ui->certificate_list->setSortingEnabled(true);
    _ui->certificate_list->setSelectionMode(QAbstractItemView::SingleSelection);
    _ui->certificate_list->installEventFilter(this);
    if (_read_only) {
        _ui->import_button->hide();
        _ui->export_button->hide();
        _ui->remove_button->hide();
    }
    connect(_ui->import_button, &QPushButton::clicked, this, &CCertificatesDialog::on_import);
    connect(_ui->export_button, &QPushButton::clicked, this, &CCertificatesDialog::on_export);
    connect(_ui->remove_button, &QPushButton::clicked, this, &CCertificatesDialog::on_remove);
    connect(_ui->view_button, &QPushButton::clicked, this, &CCertificatesDialog::on_view);
    connect(_ui->certificate_list, &QListWidget::itemDoubleClicked, this, &CCertificatesDialog::on_view);
    connect(_ui->certificate_list, &QListWidget::itemSelectionChanged, this, &CCertificatesDialog::update_buttons);
    if (_store)
        fill_list();
    update_buttons();
}

CCertificatesDialog::~CCertificatesDialog() = default;

void CCertificatesDialog::fill_list()
{
    assertion(_store != nullptr, "_store_ ne NULL");
    _ui->certificate_list->clear();
    _certificates = _store->certificates();
    for (size_t i = 0; i < _certificates.size(); ++i) {
        auto* item = new Certificate_item(QString::fromStdString(certificate_list_text(_certificates[i])));
        item->setData(Certificate_index_role, static_cast<qulonglong>(i));
        _ui->certificate_list->addItem(item);
    }
    update_buttons();
}

bool CCertificatesDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == _ui->certificate_list && event->type() == QEvent::FocusIn)
        update_buttons();
    return QWidget::eventFilter(watched, event);
}

void CCertificatesDialog::update_buttons()
{
    const bool selected = selected_certificate() != nullptr;
    _ui->export_button->setEnabled(selected && !_read_only);
    _ui->remove_button->setEnabled(selected && !_read_only);
    _ui->view_button->setEnabled(selected);
    _ui->import_button->setEnabled(_store != nullptr && !_read_only);
}

const Certificate* CCertificatesDialog::selected_certificate() const
{
    const QList<QListWidgetItem*> selection = _ui->certificate_list->selectedItems();
    if (selection.isEmpty())
        return nullptr;
    const qulonglong index = selection.front()->data(Certificate_index_role).toULongLong();
    assertion(index < _certificates.size(), "IsValidIndex (index)");
    const Certificate* certificate = &_certificates[index];
    assertion(certificate->is_valid(), "certificate ne NULL");
    return certificate;
}

void CCertificatesDialog::on_view()
{
    const Certificate* certificate = selected_certificate();
    if (!certificate)
        return;
    // A copy: the viewer may outlive a refill of the list.
    const Certificate shown = *certificate;
    view_certificate_in_store(shown, _trusted_store, this);
}

void CCertificatesDialog::on_import()
{
    if (_read_only || !_store || !_trusted_store)
        return;
    File_dialog_request request;
    request.kind = File_dialog_request::Kind::Open;
    request.title = "Scegli il certificato da importare";
    request.filter = Certificate_file_filter;
    const std::optional<std::string> path = file_dialog(request, this);
    if (!path)
        return;

    const Imported_certificate imported = read_certificate_file(*path);
    switch (imported.outcome) {
    case Imported_certificate::Outcome::Undecodable:
        report_error("La decodifica del certificato è fallita.");
        Trace(Trace_kind, Level_error) << "GetLastError () == " << imported.error;
        return;
    case Imported_certificate::Outcome::Not_a_certificate:
        report_error("Il file non contiene un certificato valido.");
        return;
    case Imported_certificate::Outcome::Certificate:
        break;
    }
    if (!imported.certificate.is_valid()) {
        report_error("La decodifica del certificato è fallita.");
        return;
    }
    _trusted_store->add_user_certificate(imported.certificate);
    _trusted_store->save_user_list();
    fill_list();
}

void CCertificatesDialog::on_export()
{
    const Certificate* selected = selected_certificate();
    if (_read_only || !selected)
        return;
    const Certificate certificate = *selected;
    const Export_certificate exported(*_store, certificate);
    bool written = false;
    if (exported.succeeded()) {
        File_dialog_request request;
        request.kind = File_dialog_request::Kind::Save;
        request.title = "Scegli dove salvare il certificato";
        request.filter = Certificate_file_filter;
        request.proposed_name = proposed_export_name(certificate);
        const std::optional<std::string> path = file_dialog(request, this);
        if (path) {
            Binary_file_write write;
            written = write.write(exported.value(), *path);
        }
    }
    if (written)
        Trace(Trace_kind, Level_trace) << "Certificato esportato.";
    else
        report_error("L'esportazione del certificato è fallita.");
}

void CCertificatesDialog::on_remove()
{
    const Certificate* selected = selected_certificate();
    if (_read_only || !selected)
        return;
    const Certificate certificate = *selected;
    const int answer = message_box("Cancellare il certificato:\n\n" + certificate.display_name(),
                                   MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, this, Suite_caption);
    if (answer != IDYES)
        return;
    if (!_store->delete_certificate(certificate)) {
        message_box("La cancellazione del certificato è fallita.", MB_ICONERROR, this, Suite_caption);
        return;
    }
    if (_trusted_store)
        _trusted_store->save_user_list();
    fill_list();
    update_buttons();
}

Dialog_certificates::Dialog_certificates(std::shared_ptr<Trusted_store> store, QWidget* parent)
    : QDialog(parent), _store(std::move(store)), _ui(std::make_unique<Ui::Dialog_certificates>())
{
    _ui->setupUi(this);
    connect(_ui->ok_button, &QPushButton::clicked, this, &QDialog::accept);
    connect(_ui->cancel_button, &QPushButton::clicked, this, &QDialog::reject);

    // A user list that exists but cannot be read is shown as an empty page that changes nothing,
    // so that it can never be overwritten with an empty one; the dialog still opens.
    std::shared_ptr<Certificate_store> user = _store ? _store->user_store() : nullptr;
    if (!user)
        message_box("La lista dei certificati utente non è disponibile.", MB_ICONERROR, parent, Suite_caption);
    _ui->tabs->addTab(new CCertificatesDialog(user, !user, _store, this), "Personale");

    // A list that was never installed (or that this build does not read) has no page and no box:
    // only one that is there and could not be used is said.
    if (_store && _store->cnipa_store_is_available())
        _ui->tabs->addTab(new CCertificatesDialog(_store->cnipa_store(), true, _store, this),
                          "Fonti attendibili (CNIPA)");
    else if (!_store || _store->cnipa_list_failed())
        message_box("La lista dei certificati accreditati dallo Stato Italiano non è disponibile.", MB_ICONERROR,
                    parent, Suite_caption);
    // The trusted lists have a page of their own: it also fetches them when none is in use yet.
    _ui->tabs->addTab(new Trusted_lists_page(_store, this), "Liste di fiducia");
    _ui->tabs->setCurrentIndex(0);
}

Dialog_certificates::~Dialog_certificates() = default;

} // namespace velin
