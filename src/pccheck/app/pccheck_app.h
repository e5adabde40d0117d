// Start-up of velin-pccheck:
//   velin-pccheck                the window; the report is created empty in the private folder
//   velin-pccheck REPORT         no window: the findings are appended to REPORT, its folder is
//                                opened, the program ends (the verifier's activity report)
//   velin-pccheck /batch [REPORT]  no window: the messages go to standard output, the report to
//                                REPORT (appended) or the private folder's report (created
//                                empty); exit code 0 without problems, 1 with, 2 when the report
//                                could not be written
// "/parent=0x%08x" is the starter's window. Any other argument is the report path: on this
// system an absolute path begins with "/", so only the known switches are taken as switches.
#pragma once

#include <string>

namespace velin::pccheck {

struct Pccheck_arguments {
    bool batch = false;
    bool path_given = false;
    std::string report_path;
};

Pccheck_arguments parse_pccheck_arguments(int argc, const char* const* argv);

// The whole program once the application object exists; returns the exit code.
int run_pccheck(const Pccheck_arguments& arguments);

} // namespace velin::pccheck
