// Start-up of velin-pccheck:
//   velin-pccheck                the window; the report is created empty in the private folder
//   velin-pccheck REPORT         no window: the findings are appended to REPORT, its folder is
//                                opened, the program ends (the verifier's activity report)
//   velin-pccheck /batch [REPORT]  no window: the messages go to standard output, the report to
//                                REPORT (appended) or the private folder's report (created
//                                empty); exit code 0 without problems, 1 with, 2 when the report
//                                could not be written
//   velin-pccheck --help | --version   the usage or the version on standard output, nothing else
// "/parent=0x%08x" is the starter's window. On this system an absolute path begins with "/", so
// the report path is any other argument that names a folder below the root; an argument that
// begins with "-", or a single "/word", is a switch, and an unknown one is refused (exit code 2)
// rather than taken as the report.
#pragma once

#include <string>

namespace velin::pccheck {

struct Pccheck_arguments {
    bool batch = false;
    bool path_given = false;
    bool help = false;
    bool version = false;
    std::string report_path;
    // An unknown switch, in Italian; empty when the command line is right.
    std::string problem;
};

Pccheck_arguments parse_pccheck_arguments(int argc, const char* const* argv);

// What --help prints.
extern const char* const Pccheck_usage;

// The whole program once the application object exists; returns the exit code.
int run_pccheck(const Pccheck_arguments& arguments);

} // namespace velin::pccheck
