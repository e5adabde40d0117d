// velin-menu [/changepin | /unblockpin] [/parent=0x%08x]
#include "VelinMenu/app/menu_app.h"
#include "common/trace.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    velin::Trace(velin::Trace_kind, velin::Level_info) << "Avvio di velin-menu.";
    return velin::run_menu(argc, argv);
}
