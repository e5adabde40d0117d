// velin-menu [/changepin | /unblockpin] [/parent=0x%08x] | --help | --version
#include "VelinMenu/app/menu_app.h"
#include "common/guarded_application.h"
#include "common/trace.h"

#include <cstdio>

int main(int argc, char** argv)
{
    // Answered before the application exists: no display is needed and nothing is touched.
    if (const std::string information = velin::menu_information(argc, argv); !information.empty()) {
        std::fputs(information.c_str(), stdout);
        return 0;
    }
    velin::Guarded_application application(argc, argv);
    velin::Trace(velin::Trace_kind, velin::Level_info) << "Avvio di velin-menu.";
    return velin::run_menu(argc, argv);
}
