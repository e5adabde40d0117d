#include "trust/ocsp_responder_standing.h"

#include "common/openssl_encoding.h"
#include "common/owner.h"
#include "common/trace.h"
#include "trust/carried_validation.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velin {

namespace {

enum class Standing {
    Unknown, // nothing that could speak for the responder was found
    Good,
    Barred,
};

Standing standing_of_revocation(int reason, std::optional<std::time_t> revoked_at, std::time_t at)
{
    if (revoked_at && responder_revocation_spares(reason, *revoked_at, at))
        return Standing::Good;
    Trace(Trace_kind, Level_info) << "Il certificato del responder OCSP è stato revocato.";
    return Standing::Barred;
}

bool has_distribution_points(const Certificate& certificate)
{
    return X509_get_ext_by_NID(certificate.raw_handle(), NID_crl_distribution_points, -1) >= 0;
}

// The responder looked up in a list already found usable for it.
Standing standing_on_list(const Certificate_revocation_list& list, const Certificate& responder, std::time_t at)
{
    X509_REVOKED* entry = nullptr;
    const int found = X509_CRL_get0_by_serial(
        list.raw_handle(), &entry, const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(responder.raw_handle())));
    ERR_clear_error();
    if (found != 1 || !entry)
        return Standing::Good;
    int critical = 0;
    const Owner<ASN1_ENUMERATED> code(
        static_cast<ASN1_ENUMERATED*>(X509_REVOKED_get_ext_d2i(entry, NID_crl_reason, &critical, nullptr)));
    // A reason that cannot be read counts as none.
    const int reason = code ? static_cast<int>(ASN1_ENUMERATED_get(code.get())) : -1;
    ERR_clear_error();
    return standing_of_revocation(reason, seconds_of(X509_REVOKED_get0_revocationDate(entry)), at);
}

Standing standing_of_answer(const Ocsp_result& answer, std::time_t at)
{
    if (answer.status == Ocsp_status::Good)
        return Standing::Good;
    if (answer.status == Ocsp_status::Revoked)
        return standing_of_revocation(answer.reason, answer.revoked_at, at);
    return Standing::Unknown;
}

class Responder_standing {
public:
    Responder_standing(const Revocation_subject& subject, const Certificate& issuer,
                       const Revocation_settings& settings, const std::atomic<bool>& cancel, Crl_file_memo& memo)
        : _subject(subject), _issuer(issuer), _settings(settings), _cancel(cancel), _memo(memo)
    {}

    bool operator()(const Certificate& responder, std::time_t at) const
    {
        Standing standing = from_file(responder, at);
        if (standing == Standing::Unknown && _settings.method != Revocation_method::Only_crl)
            standing = from_its_responder(responder, at);
        if (standing == Standing::Unknown && _settings.method != Revocation_method::Only_ocsp)
            standing = from_its_list(responder, at);
        if (standing == Standing::Unknown)
            Trace(Trace_kind, Level_info) << "Lo stato del certificato del responder OCSP non può essere rilevato.";
        return standing == Standing::Good;
    }

private:
    // What the signed file carries: a bar found decides; otherwise one clear answer or list does.
    Standing from_file(const Certificate& responder, std::time_t at) const
    {
        if (!_settings.carried)
            return Standing::Unknown;
        Standing found = Standing::Unknown;
        const auto take = [&found](Standing standing) {
            if (standing != Standing::Unknown && found != Standing::Barred)
                found = standing;
        };
        if (_settings.method != Revocation_method::Only_crl)
            for (const std::vector<uint8_t>& answer : _settings.carried->ocsp_answers)
                take(standing_of_answer(judge_ocsp_answer(answer, responder, _issuer, nullptr, at, true), at));
        if (_settings.method != Revocation_method::Only_ocsp) {
            const std::vector<std::string> points =
                has_distribution_points(responder) ? crl_distribution_urls(responder) : std::vector<std::string>{};
            for (const Certificate_revocation_list& list : _settings.carried->crls)
                if (X509_NAME_cmp(list.issuer_name(), responder.issuer_name()) == 0 &&
                    carried_list_speaks_for(list, at) && list.verify_signature(_issuer) == Crl_signature::Verified &&
                    list.covers(points, false))
                    take(standing_on_list(list, responder, at));
        }
        return found;
    }

    // The responder its certificate names. Its answer is taken only when the issuer or a responder
    // that needs no check gave it (no check is handed on), so a responder asked about itself, or
    // two vouching for each other, end here; and it never waits for another analysis's question.
    Standing from_its_responder(const Certificate& responder, std::time_t at) const
    {
        if (_cancel)
            return Standing::Unknown;
        Ocsp_options options{_settings.download_allowed, _settings.ocsp_time_limit};
        options.wait_for_others = false;
        return standing_of_answer(check_ocsp(responder, _issuer, at, options, _cancel), at);
    }

    // The issuer's list at the responder's own distribution point; without one, at the point of
    // the certificate asked about, when that list covers every certificate of the issuer.
    Standing from_its_list(const Certificate& responder, std::time_t at) const
    {
        const bool own = has_distribution_points(responder);
        if (!own && !has_distribution_points(_subject.certificate))
            return Standing::Unknown;
        const Certificate& named = own ? responder : _subject.certificate;
        const std::optional<Certificate_revocation_list> list =
            fetch_http_crl(named, _issuer, _settings, _cancel, _memo);
        // The list was fetched for the certificate named; the responder's issuer must be its issuer.
        if (!list || X509_NAME_cmp(list->issuer_name(), responder.issuer_name()) != 0)
            return Standing::Unknown;
        if (!list->covers(own ? crl_distribution_urls(responder) : std::vector<std::string>{}, false))
            return Standing::Unknown;
        return standing_on_list(*list, responder, at);
    }

    const Revocation_subject& _subject;
    const Certificate& _issuer;
    const Revocation_settings& _settings;
    const std::atomic<bool>& _cancel;
    Crl_file_memo& _memo;
};

} // namespace

bool responder_revocation_spares(int reason, std::time_t revoked_at, std::time_t at)
{
    const bool keeps_key = reason == CRL_REASON_AFFILIATION_CHANGED || reason == CRL_REASON_SUPERSEDED ||
                           reason == CRL_REASON_CESSATION_OF_OPERATION;
    return keeps_key && revoked_at > at;
}

Responder_check responder_check_for(const Revocation_subject& subject, const Certificate& issuer,
                                    const Revocation_settings& settings, const std::atomic<bool>& cancel,
                                    Crl_file_memo& memo)
{
    return Responder_standing(subject, issuer, settings, cancel, memo);
}

} // namespace velin
