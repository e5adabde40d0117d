// velin-pccheck [REPORT] [/batch] [/parent=0x%08x] | --help | --version
#include "common/guarded_application.h"
#include "common/message_box.h"
#include "common/version.h"
#include "pccheck/app/pccheck_app.h"

#include <iostream>
#include <memory>

int main(int argc, char** argv)
{
    const velin::pccheck::Pccheck_arguments arguments = velin::pccheck::parse_pccheck_arguments(argc, argv);
    // Answered before anything else: no application object, no display, no check, no report.
    if (arguments.help) {
        std::cout << velin::pccheck::Pccheck_usage;
        return 0;
    }
    if (arguments.version) {
        std::cout << "velin-pccheck " << velin::Suite_version << '\n';
        return 0;
    }
    if (!arguments.problem.empty()) {
        std::cerr << "velin-pccheck: " << arguments.problem << ".\n" << velin::pccheck::Pccheck_usage;
        return 2;
    }
    // Without windows the card library asks the holder on the terminal the batch run comes from
    // (and cannot ask without one, a problem the run reports); the other modes have an
    // application the library's questions can use.
    std::unique_ptr<QCoreApplication> application;
    if (arguments.batch)
        application = std::make_unique<velin::Guarded_core_application>(argc, argv);
    else
        application = std::make_unique<velin::Guarded_application>(argc, argv);
    velin::set_starter_window_from_arguments(argc, argv);
    return velin::pccheck::run_pccheck(arguments);
}
