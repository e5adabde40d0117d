// A quiet update run that answers yes to its question, in a process of its own so that a test can
// kill it half-way: update_run_child SERVER DESKTOP (the run's lock goes in the desktop's parent).
#include "VelinVerify/update/package_signature.h"
#include "VelinVerify/update/update_run.h"
#include "VelinVerify/update/update_version.h"
#include "common/message_box.h"
#include "poll_transfer.h"

#include <QCoreApplication>

#include <filesystem>

namespace {

class Yes_host : public velin::Update_host {
public:
    void run_transfer(velin::Update_transfer& transfer, bool) override { velin::test::poll_to_end(transfer); }
    int message(const std::string&, unsigned) override { return velin::IDYES; }
    bool open_folder(const std::string&) override { return true; }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    QCoreApplication application(argc, argv);
    velin::Update_configuration made;
    made.interactive = false;
    made.server = argv[1];
    made.installed_suite = 0x03010300;
    made.installed_workstation = [] { return velin::pack_file_version(4, 2, 0, 0); };
    const std::string desktop = argv[2];
    made.desktop = [desktop] { return desktop; };
    made.clock = [] { return std::time_t(1780000000); };
    made.authority_pem = velin::update_authority_pem;
    made.lock_folder = std::filesystem::path(desktop).parent_path().string();
    Yes_host host;
    return velin::Update_run(std::move(made), host).run();
}
