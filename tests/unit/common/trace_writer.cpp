// A program of the suite reduced to its trace log, for tests that need several processes.
//   trace_writer hold          write one record, print the log path, wait for end of input
//   trace_writer fill COUNT    write COUNT numbered records of about 100 bytes, print the path
//   trace_writer segv          install the fault translation, then touch address 0
#include "common/failure.h"
#include "common/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const std::string mode = argv[1];
    if (mode == "hold") {
        velin::Trace(velin::Trace_kind, velin::Level_info) << "avvio " << ::getpid();
        std::printf("%s\n", velin::trace_current_path().c_str());
        std::fflush(stdout);
        char buffer[64];
        while (::read(0, buffer, sizeof buffer) > 0) {
        }
        return 0;
    }
    if (mode == "fill" && argc == 3) {
        const int count = std::atoi(argv[2]);
        const std::string padding(60, 'x');
        for (int i = 0; i < count; ++i) {
            char number[16];
            std::snprintf(number, sizeof number, "%06d", i);
            velin::Trace(velin::Trace_kind, velin::Level_info) << "record " << number << ' ' << padding;
        }
        std::printf("%s\n", velin::trace_current_path().c_str());
        return 0;
    }
    if (mode == "segv") {
        velin::SEH_translation translation;
        velin::Trace(velin::Trace_kind, velin::Level_info) << "prima del guasto";
        std::printf("%s\n", velin::trace_current_path().c_str());
        std::fflush(stdout);
        // A page with no access: a real fault, not one the sanitizers would catch first.
        void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        *static_cast<volatile int*>(page) = 1;
        return 0;
    }
    return 2;
}
