// velin-pccheck [REPORT] [/batch] [/parent=0x%08x]
#include "common/guarded_application.h"
#include "common/message_box.h"
#include "pccheck/app/pccheck_app.h"

#include <memory>

int main(int argc, char** argv)
{
    const velin::pccheck::Pccheck_arguments arguments = velin::pccheck::parse_pccheck_arguments(argc, argv);
    // Without windows the card library cannot ask the holder: the batch run reports that as its
    // card lines; the other modes have an application the library's questions can use.
    std::unique_ptr<QCoreApplication> application;
    if (arguments.batch)
        application = std::make_unique<velin::Guarded_core_application>(argc, argv);
    else
        application = std::make_unique<velin::Guarded_application>(argc, argv);
    velin::set_starter_window_from_arguments(argc, argv);
    return velin::pccheck::run_pccheck(arguments);
}
