// velin-sign [/dir=FOLDER] [/pdf] [/parent=0x%08x] [DOCUMENT...]
#include "common/guarded_application.h"
#include "common/trace.h"
#include "norax_sign/app/sign_app.h"

int main(int argc, char** argv)
{
    velin::Guarded_application application(argc, argv);
    velin::Trace(velin::Trace_kind, velin::Level_info) << "Avvio di velin-sign.";
    return velin::run_sign(argc, argv);
}
