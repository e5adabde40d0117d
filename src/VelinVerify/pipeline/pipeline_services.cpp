#include "VelinVerify/pipeline/pipeline_services.h"

#include "common/settings_record.h"
#include "java_bridge/pdf_verify.h"
#include "trust/authority_access.h"

namespace velin {

Pipeline_settings Pipeline_settings::from(const Settings_record& settings)
{
    Pipeline_settings made{settings.VerificaCRL, settings.AggiornaCRL};
    made.revocation_method = revocation_method_of(settings.MetodoRevoca);
    return made;
}

Pipeline_services default_services()
{
    Pipeline_services services;
    services.trusted_store = [] { return shared_trusted_store(); };
    services.check_revocations = [](const std::vector<Revocation_subject>& subjects,
                                    const Revocation_settings& settings, const std::atomic<bool>& cancel) {
        return check_revocations(subjects, settings, cancel);
    };
    services.ca_issuers = [](const Certificate& certificate, bool download_allowed, const std::atomic<bool>& cancel) {
        return fetch_ca_issuers(certificate, download_allowed, cancel);
    };
    services.pdf_decoder = [] { return std::make_shared<Pdf_verify>(); };
    return services;
}

} // namespace velin
