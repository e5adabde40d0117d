// velin-sign [/dir=FOLDER] [/pdf] [/parent=0x%08x] [DOCUMENT...]
// velin-sign --help | --version
#include "common/guarded_application.h"
#include "common/trace.h"
#include "norax_sign/app/sign_app.h"

#include <iostream>

int main(int argc, char** argv)
{
    // Answered before the application object exists: no display is needed, nothing is touched.
    if (const std::optional<std::string> answer = velin::sign_information_request(argc, argv)) {
        std::cout << *answer << std::flush;
        return std::cout ? 0 : 1;
    }
    velin::Guarded_application application(argc, argv);
    velin::Trace(velin::Trace_kind, velin::Level_info) << "Avvio di velin-sign.";
    return velin::run_sign(argc, argv);
}
