#include "trust/carried_validation.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

namespace velin {

Carried_validation Carried_validation::from(const Validation_data& data)
{
    Carried_validation carried;
    for (const auto& der : data.certificates) {
        Certificate certificate(der);
        ERR_clear_error();
        if (certificate.is_valid() && X509_check_ca(certificate.raw_handle()) > 0)
            carried.certificates.push_back(std::move(certificate));
    }
    for (const auto& der : data.crls) {
        Certificate_revocation_list list(der);
        ERR_clear_error();
        if (list.is_valid())
            carried.crls.push_back(std::move(list));
    }
    carried.ocsp_answers = data.ocsp_answers;
    return carried;
}

std::vector<Certificate> Carried_validation::issuers_of(const Certificate& subject) const
{
    std::vector<Certificate> found;
    if (!subject.is_valid() || subject.is_self_issued())
        return found;
    for (const Certificate& candidate : certificates)
        if (X509_NAME_cmp(candidate.subject_name(), subject.issuer_name()) == 0)
            found.push_back(candidate);
    return found;
}

bool carried_list_speaks_for(const Certificate_revocation_list& list, std::optional<std::time_t> at)
{
    const std::time_t now = std::time(nullptr);
    return list.is_valid() && list.time_validity_at(now) != Crl_not_yet_valid &&
           list.time_validity_at(at.value_or(now)) != Crl_expired;
}

std::string carried_validation_text(const Validation_data& data)
{
    if (data.empty())
        return {};
    const auto count = [](size_t number, const char* one, const char* many) {
        return std::to_string(number) + " " + (number == 1 ? one : many);
    };
    return "Il file contiene dati di validazione per la verifica a lungo termine: " +
           count(data.certificates.size(), "certificato", "certificati") + ", " +
           count(data.crls.size(), "CRL", "CRL") + ", " +
           count(data.ocsp_answers.size(), "risposta OCSP", "risposte OCSP") + ".";
}

} // namespace velin
