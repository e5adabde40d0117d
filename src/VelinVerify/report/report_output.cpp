#include "VelinVerify/report/report_output.h"

#include "VelinVerify/report/etsi_report.h"
#include "VelinVerify/report/pdf_report.h"

namespace velin {

Report_output::Report_output(Report_request request, Report_context context)
    : _request(std::move(request)),
      _context(std::move(context)),
      _pdf_names(_request.pdf, ".pdf"),
      _etsi_names(_request.etsi, ".xml")
{}

std::string Report_output::path(Report_names& names, const std::string& option, const std::string& file)
{
    return _request.several ? names.take(file) : option;
}

std::vector<std::string> Report_output::write(const Batch_report& report)
{
    std::vector<std::string> problems;
    if (!_request.any())
        return problems;
    // Every report of a file is made from its facts; a run that lost them cannot write any.
    Report_facts fallback;
    const Report_facts& facts = report.facts ? *report.facts : fallback;
    if (!report.facts) {
        const size_t slash = report.file.rfind('/');
        fallback.name = slash == std::string::npos ? report.file : report.file.substr(slash + 1);
        fallback.verified_at = std::time(nullptr);
    }
    if (!_request.pdf.empty()) {
        const std::string target = path(_pdf_names, _request.pdf, report.file);
        if (std::string problem = write_pdf_report(target, report, facts, _context); !problem.empty())
            problems.push_back(std::move(problem));
    }
    if (!_request.etsi.empty()) {
        const std::string target = path(_etsi_names, _request.etsi, report.file);
        if (std::string problem = write_etsi_report(target, report, facts); !problem.empty())
            problems.push_back(std::move(problem));
    }
    return problems;
}

} // namespace velin
