#include "VelinVerify/app/verify_main_window.h"

#include "VelinVerify/app/batch_report.h"
#include "VelinVerify/app/verify_layer_dialog.h"
#include "VelinVerify/certificates/dialog_certificates.h"
#include "VelinVerify/dialogs/about_dialog.h"
#include "VelinVerify/dialogs/log_report.h"
#include "VelinVerify/dialogs/settings_dialog.h"
#include "VelinVerify/report/etsi_report.h"
#include "VelinVerify/report/pdf_report.h"
#include "VelinVerify/report/report_facts.h"
#include "common/file_dialog.h"
#include "common/message_box.h"
#include "common/settings_record.h"
#include "common/trace.h"
#include "common/version.h"
#include "trust/trusted_store.h"

#include "ui_verify_main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMenuBar>
#include <QMimeData>
#include <QPointer>
#include <QPrintDialog>
#include <QPrinter>
#include <QStyle>
#include <QTimer>
#include <QUrl>

#include <ctime>
#include <filesystem>

namespace velin {

namespace {

constexpr const char* Text_report_not_ready =
    "Il rapporto si può salvare o stampare solo quando la verifica di un file è conclusa.";
constexpr const char* Text_report_not_printed = "La stampa del rapporto non è riuscita.";

std::string file_name_part(const std::string& path)
{
    return std::filesystem::path(path).filename().string();
}

bool show_print_dialog(QPrinter& printer, QWidget* parent)
{
    QPrintDialog dialog(&printer, parent);
    dialog.setWindowTitle(QStringLiteral("Stampa rapporto"));
    return dialog.exec() == QDialog::Accepted;
}

} // namespace

Dlg_verify_onion::Dlg_verify_onion(Settings_record& settings, Pipeline_services services, QWidget* parent)
    : QDialog(parent),
      _ui(std::make_unique<Ui::Verify_main_window>()),
      _settings(settings),
      _services(std::move(services)),
      _print_dialog(show_print_dialog)
{
    _ui->setupUi(this);
    setWindowFlag(Qt::WindowMinMaxButtonsHint, true);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setAcceptDrops(true);
    if (windowIcon().isNull())
        setWindowIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
    build_menus();
    connect(_ui->browse_button, &QPushButton::clicked, this, [this] { choose_file(); });
    connect(_ui->exit_button, &QPushButton::clicked, this, [this] { close(); });
}

Dlg_verify_onion::~Dlg_verify_onion()
{
    close_all_layers();
    _session.reset();
}

void Dlg_verify_onion::build_menus()
{
    auto* bar = new QMenuBar(this);
    layout()->setMenuBar(bar);
    const auto add = [this](QMenu* menu, const char* name, const char* text, auto handler) {
        QAction* item = menu->addAction(QString::fromUtf8(text));
        item->setObjectName(QString::fromLatin1(name));
        connect(item, &QAction::triggered, this, handler);
        return item;
    };
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    add(file, "open_action", "&Apri...", [this] { choose_file(); })->setShortcut(QKeySequence::Open);
    add(file, "save_report_action", "Salva &rapporto...", [this] { save_report(); });
    add(file, "print_action", "&Stampa...", [this] { print_report(); })->setShortcut(QKeySequence::Print);
    file->addSeparator();
    add(file, "exit_action", "&Esci", [this] { close(); });
    QMenu* tools = bar->addMenu(QStringLiteral("&Strumenti"));
    add(tools, "certificates_action", "&Gestione certificati...", [this] { manage_certificates(); });
    add(tools, "options_action", "&Opzioni...", [this] { edit_options(); });
    add(tools, "report_action", "Rapporto attività...", [this] { activity_report(); });
    QMenu* help = bar->addMenu(QStringLiteral("&Aiuto"));
    add(help, "help_action", "&Guida in linea...", [this] { show_help(); })->setShortcut(QKeySequence::HelpContents);
    help->addSeparator();
    add(help, "about_action", "&Informazioni su Velin Manager", [this] { show_about(); });
}

struct Dlg_verify_onion::Shown_report {
    Batch_report report;
    Report_facts facts;
    Report_context context;
};

std::optional<Dlg_verify_onion::Shown_report> Dlg_verify_onion::shown_report()
{
    if (!_session || _session->layers().empty() || !_session->finished()) {
        velin::message_box(Text_report_not_ready, MB_OK | MB_ICONWARNING, this);
        return std::nullopt;
    }
    Shown_report shown;
    shown.report = make_batch_report(*_session, {});
    shown.facts = make_report_facts(*_session, std::time(nullptr));
    const std::shared_ptr<Trusted_store> store = _services.trusted_store ? _services.trusted_store() : nullptr;
    shown.context = make_report_context(Suite_version, Pipeline_settings::from(_settings), store.get());
    return shown;
}

void Dlg_verify_onion::save_report()
{
    std::optional<Shown_report> shown = shown_report();
    if (!shown)
        return;
    File_dialog_request request;
    request.kind = File_dialog_request::Kind::Save;
    request.title = "Salva rapporto";
    request.filter = "Rapporto di verifica PDF (*.pdf)";
    request.more_filters = {"Rapporto di convalida ETSI XML (*.xml)"};
    request.proposed_name = file_name_part(_path) + ".pdf";
    request.default_suffix = "pdf";
    const std::optional<std::string> path = file_dialog(request, this);
    if (!path)
        return;
    const bool xml = path->size() >= 4 && QString::fromStdString(path->substr(path->size() - 4)).toLower() == ".xml";
    const std::string problem = xml ? write_etsi_report(*path, shown->report, shown->facts)
                                    : write_pdf_report(*path, shown->report, shown->facts, shown->context);
    if (!problem.empty())
        velin::message_box(problem, MB_OK | MB_ICONERROR, this);
}

void Dlg_verify_onion::print_report()
{
    std::optional<Shown_report> shown = shown_report();
    if (!shown)
        return;
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setDocName(QStringLiteral("Rapporto di verifica - ") + QString::fromStdString(shown->facts.name));
    if (!_print_dialog(printer, this))
        return;
    if (!paint_report(printer, shown->report, shown->facts, shown->context))
        velin::message_box(Text_report_not_printed, MB_OK | MB_ICONERROR, this);
}

void Dlg_verify_onion::set_print_dialog(Print_dialog dialog)
{
    _print_dialog = dialog ? std::move(dialog) : show_print_dialog;
}

QAction* Dlg_verify_onion::action(const char* object_name) const
{
    return findChild<QAction*>(QString::fromLatin1(object_name));
}

void Dlg_verify_onion::open_path(const std::string& path, const std::string& detached_document)
{
    if (path != _path || detached_document.empty())
        _detached_asked = false;
    _path = path;
    close_all_layers();
    // A new session for every file: it takes the settings as they are now.
    _session = std::make_unique<Verification_session>(Pipeline_settings::from(_settings), _services, this);
    _ui->file_path->setText(QString::fromStdString(path));
    _session->open(path, detached_document);
}

void Dlg_verify_onion::choose_detached_document()
{
    if (_detached_asked || _path.empty())
        return;
    _detached_asked = true;
    File_dialog_request request;
    request.kind = File_dialog_request::Kind::Open;
    request.title = "Scegli il documento della firma separata";
    request.filter = "Tutti i file (*)";
    if (const std::optional<std::string> document = file_dialog(request, this))
        open_path(_path, *document);
}

void Dlg_verify_onion::close_all_layers()
{
    // Each page removes its preview copy and stops its layer before the session lets go of it.
    for (CVelinVerifyDlg* page : layer_pages())
        page->close_layer();
    if (_session)
        _session->close_all();
    layers_closed();
}

std::vector<CVelinVerifyDlg*> Dlg_verify_onion::layer_pages() const
{
    std::vector<CVelinVerifyDlg*> pages;
    for (int i = 0; i < _ui->layer_tabs->count(); ++i)
        if (auto* page = qobject_cast<CVelinVerifyDlg*>(_ui->layer_tabs->widget(i)))
            pages.push_back(page);
    return pages;
}

CVelinVerifyDlg* Dlg_verify_onion::page_of(const Layer_analysis& layer) const
{
    for (CVelinVerifyDlg* page : layer_pages())
        if (&page->layer() == &layer)
            return page;
    return nullptr;
}

void Dlg_verify_onion::layer_added(Layer_analysis& layer)
{
    std::shared_ptr<Layer_analysis> shared;
    for (const auto& candidate : _session->layers())
        if (candidate.get() == &layer)
            shared = candidate;
    if (!shared)
        return;
    auto* page = new CVelinVerifyDlg(shared, _ui->layer_tabs);
    const int tab = _ui->layer_tabs->addTab(page, QString::fromStdString(file_name_part(layer.file_name())));
    _ui->layer_tabs->setCurrentIndex(tab);
}

void Dlg_verify_onion::layer_changed(Layer_analysis& layer, Layer_change change)
{
    if (CVelinVerifyDlg* page = page_of(layer))
        page->refresh(change);
    // A detached signature whose document is not beside it: the user may know where it is.
    const auto& info = layer.info();
    if (change == Layer_change::Finished && _session && !_session->layers().empty() &&
        _session->layers().front().get() == &layer && info && info->envelope.is_assigned() &&
        info->envelope.value().detached && !info->envelope.value().content.is_assigned() && !_detached_asked)
        QTimer::singleShot(0, this, [this] { choose_detached_document(); });
}

void Dlg_verify_onion::message_box(const Box_request& box, Layer_analysis* layer)
{
    (void)layer;
    // Shown once the pipeline's handler has returned: a modal box must not run the event loop
    // inside the session's own calls.
    QTimer::singleShot(0, this, [this, box] {
        velin::message_box(box.text, MB_OK | static_cast<unsigned>(box.icon), this, box.title.c_str());
    });
}

void Dlg_verify_onion::layers_closed()
{
    while (_ui->layer_tabs->count() > 0) {
        QWidget* page = _ui->layer_tabs->widget(0);
        _ui->layer_tabs->removeTab(0);
        delete page;
    }
}

void Dlg_verify_onion::choose_file()
{
    File_dialog_request request;
    request.kind = File_dialog_request::Kind::Open;
    request.title = "Scegli il documento da verificare";
    request.filter = "Tutti i documenti supportati (*.m7m;*.p7m;*.pdf)";
    request.default_suffix = "p7m";
    request.accept = [](const std::string& path) { return has_supported_extention(path); };
    if (const std::optional<std::string> path = file_dialog(request, this))
        open_path(*path);
}

void Dlg_verify_onion::manage_certificates()
{
    Dialog_certificates dialog(shared_trusted_store(), this);
    dialog.exec();
}

void Dlg_verify_onion::edit_options()
{
    Settings_dialog dialog(_settings, this);
    dialog.exec();
}

void Dlg_verify_onion::activity_report()
{
    run_activity_report(this);
}

void Dlg_verify_onion::show_help()
{
    open_help();
}

void Dlg_verify_onion::show_about()
{
    About_dialog dialog(this);
    dialog.exec();
}

void Dlg_verify_onion::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void Dlg_verify_onion::dropEvent(QDropEvent* event)
{
    event->acceptProposedAction();
    open_dropped(*event->mimeData());
}

void Dlg_verify_onion::open_dropped(const QMimeData& data)
{
    const QList<QUrl> urls = data.urls();
    const QString path = urls.isEmpty() ? QString() : urls.front().toLocalFile();
    if (path.isEmpty()) {
        velin::message_box("L'acquisizione del documento trascinato è fallita.", MB_OK | MB_ICONERROR, this);
        return;
    }
    open_path(path.toStdString());
}

void Dlg_verify_onion::closeEvent(QCloseEvent* event)
{
    close_all_layers();
    QDialog::closeEvent(event);
}

void Dlg_verify_onion::reject()
{
    // Escape and "Esci" close the window the same way.
    close_all_layers();
    QDialog::reject();
}

} // namespace velin
