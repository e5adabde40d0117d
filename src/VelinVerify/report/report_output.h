// The written reports a batch run was asked for (--rapporto, --rapporto-etsi): for one file each
// option names the report itself, for several a folder where each report is named after its file.
#pragma once

#include "VelinVerify/app/batch_report.h"
#include "VelinVerify/report/report_facts.h"
#include "VelinVerify/report/report_file.h"

#include <string>
#include <vector>

namespace velin {

struct Report_request {
    std::string pdf; // the "Rapporto di verifica", or the folder of them; empty when not asked for
    std::string etsi; // the ETSI validation report, or the folder of them
    bool several = false; // the names are folders

    bool any() const { return !pdf.empty() || !etsi.empty(); }
};

class Report_output {
public:
    Report_output(Report_request request, Report_context context);

    // Writes the reports asked for of one file's report. Returns the texts of those that could not
    // be written (none when all were); the file's verdict is not touched.
    std::vector<std::string> write(const Batch_report& report);

private:
    std::string path(Report_names& names, const std::string& option, const std::string& file);

    Report_request _request;
    Report_context _context;
    Report_names _pdf_names;
    Report_names _etsi_names;
};

} // namespace velin
