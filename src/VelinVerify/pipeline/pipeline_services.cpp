#include "VelinVerify/pipeline/pipeline_services.h"

#include "common/settings_record.h"
#include "java_bridge/pdf_verify.h"

namespace velin {

Pipeline_settings Pipeline_settings::from(const Settings_record& settings)
{
    return Pipeline_settings{settings.VerificaCRL, settings.AggiornaCRL};
}

Pipeline_services default_services()
{
    Pipeline_services services;
    services.trusted_store = [] { return shared_trusted_store(); };
    services.check_revocations = [](const std::vector<Revocation_subject>& subjects, const Revocation_settings& settings,
                                    const std::atomic<bool>& cancel) {
        return check_revocations(subjects, settings, cancel);
    };
    services.pdf_decoder = [] { return std::make_shared<Pdf_verify>(); };
    return services;
}

} // namespace velin
