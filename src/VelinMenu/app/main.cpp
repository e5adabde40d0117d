// velin-menu [/changepin | /unblockpin] [/parent=0x%08x]
#include "VelinMenu/app/menu_app.h"
#include "common/guarded_application.h"
#include "common/trace.h"

int main(int argc, char** argv)
{
    velin::Guarded_application application(argc, argv);
    velin::Trace(velin::Trace_kind, velin::Level_info) << "Avvio di velin-menu.";
    return velin::run_menu(argc, argv);
}
