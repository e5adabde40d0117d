// The headless run of the verifier: one file through the same layers as the window, then the
// report. Needs a QCoreApplication on the calling thread.
#pragma once

#include "VelinVerify/app/batch_report.h"
#include "VelinVerify/pipeline/pipeline_services.h"

#include <string>

namespace velin {

// content: the document of a detached signature, when named.
Batch_report run_batch(const std::string& path, const Pipeline_settings& settings, const Pipeline_services& services,
                       const std::string& content = {});

} // namespace velin
