// Opens the verifier's windows on sample files and saves a picture of each:
//   velin-screenshots OUTPUT_FOLDER SUCCESS_FILE WARNINGS_FILE ERRORS_FILE CERTIFICATE_PEM
// The environment (data folder, settings) is the caller's; boxes are answered at once so that
// nothing waits for a person.
#include "VelinVerify/app/verify_main_window.h"
#include "VelinVerify/certificates/certificate_viewer.h"
#include "VelinVerify/certificates/dialog_certificates.h"
#include "VelinVerify/pipeline/report_channel.h"
#include "common/message_box.h"
#include "common/owner.h"
#include "common/settings_record.h"
#include "trust/trusted_store.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPixmap>
#include <QTabWidget>
#include <QThread>

#include <openssl/pem.h>

#include <functional>
#include <iostream>
#include <string>

namespace {

// Delivers events until the condition holds or the time is up.
bool wait_for(const std::function<bool()>& condition, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

bool save(QWidget& widget, const QString& file)
{
    widget.show();
    widget.raise();
    wait_for([] { return false; }, 300);
    const bool saved = widget.grab().save(file, "PNG");
    std::cout << (saved ? "scritto " : "NON scritto ") << file.toStdString() << '\n';
    return saved;
}

bool verify_and_save(velin::Settings_record& settings, const std::string& file, const QString& picture)
{
    velin::Dlg_verify_onion window(settings, velin::default_services());
    window.resize(760, 720);
    window.show();
    window.open_path(file);
    if (!wait_for([&] { return window.session() && window.session()->finished(); }, 60000))
        return false;
    return save(window, picture);
}

velin::Certificate read_pem(const std::string& path)
{
    const velin::Owner<BIO> file(BIO_new_file(path.c_str(), "r"));
    return velin::Certificate(file ? PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr) : nullptr, true);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::cerr << "Uso: velin-screenshots CARTELLA SUCCESSO SEGNALAZIONI ERRORI CERTIFICATO.pem\n";
        return 2;
    }
    QApplication application(argc, argv);
    velin::set_message_box_answerer([](const velin::Message_box_request&) { return velin::IDOK; });
    velin::Report_channel reports([](const velin::Status_line&) {});
    const QString folder = QString::fromLocal8Bit(argv[1]) + "/";
    velin::Settings_record settings;
    settings.load();

    bool ok = verify_and_save(settings, argv[2], folder + "verifica-successo.png");
    ok = verify_and_save(settings, argv[3], folder + "verifica-segnalazioni.png") && ok;
    ok = verify_and_save(settings, argv[4], folder + "verifica-errori.png") && ok;

    velin::Dialog_certificates certificates(velin::shared_trusted_store());
    certificates.resize(560, 420);
    ok = save(certificates, folder + "gestione-certificati.png") && ok;
    certificates.hide();

    const velin::Certificate certificate = read_pem(argv[5]);
    if (!certificate.is_valid())
        return 1;
    velin::Certificate_viewer viewer(certificate, velin::shared_trusted_store());
    viewer.resize(520, 560);
    ok = save(viewer, folder + "certificato.png") && ok;
    if (auto* pages = viewer.findChild<QTabWidget*>()) {
        pages->setCurrentIndex(pages->count() - 1);
        ok = save(viewer, folder + "certificato-percorso.png") && ok;
    }
    return ok ? 0 : 1;
}
