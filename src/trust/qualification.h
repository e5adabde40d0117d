// Whether a signer's certificate is an EU qualified certificate for electronic signatures whose key
// is on a qualified signature creation device: what the certificate states in its qcStatements
// extension (EN 319 412-5; for certificates issued before 1 July 2016 also the QCP / QCP+ policies
// of TS 101 456), overridden by the Qualifications extension its CA/QC services carry in the
// trusted lists (ETSI TS 119 612), the services' status and additional service information,
// judged as ETSI TS 119 615 does, at the certificate's issuance and at the time that counts.
// Nothing else makes a certificate qualified: one that says nothing of itself, of a list that says
// nothing of it, is not.
#pragma once

#include "trust/certificate.h"
#include "trust/trusted_list.h"

#include <ctime>
#include <string>
#include <vector>

namespace velin {

enum class Qualified_use {
    Signature, // QcType esign, or no QcType
    Seal,
    Web_site,
    Unknown, // several types, or one this program does not know
};

// What a certificate says of itself.
struct Qc_statements {
    bool present = false; // it carries a qcStatements extension
    bool readable = true; // the extension decodes (once, and as a sequence of statements)
    bool compliance = false; // QcCompliance: an EU qualified certificate
    bool sscd = false; // QcSSCD: its key is on a qualified device
    std::vector<Qualified_use> types; // QcType, in the certificate's order
};

Qc_statements read_qc_statements(const Certificate& certificate);

// How the service judges the certificate at one time.
struct Qualification {
    bool qualified = false;
    Qualified_use use = Qualified_use::Unknown;
    bool qualified_device = false;
    bool legal_person = false;
    // Why this is no qualified electronic signature (Italian); empty when it is one.
    std::string why_not;
};

// The certificate as the service period in force at `at` makes it; the period must be that of a
// CA/QC service (its status is judged at `at`).
Qualification qualification_at(const Certificate& certificate, const Trust_service& service, std::time_t at);

struct Signature_qualification {
    bool legal_value = false;
    std::vector<std::string> lines; // for the trace: what was decided at each time, and why
};

// A qualified electronic signature: a qualified certificate for electronic signatures on a
// qualified device both when the certificate was issued (notBefore) and at judged_at. At each time
// every service given (those of the lists that name the certificate's authority) that was then a
// CA/QC service qualified for electronic signatures judges it; when they do not agree, it is not
// a qualified signature.
Signature_qualification qualify_for_signature(const Certificate& certificate,
                                              const std::vector<const Trust_service*>& services, std::time_t judged_at);
Signature_qualification qualify_for_signature(const Certificate& certificate, const Trust_service& service,
                                              std::time_t judged_at);

// The certificate by its own statements, as no list speaks for it.
Qualification qualification_by_certificate(const Certificate& certificate);
// Under a root of the national list, which vouches for the certificates of its authorities as the
// national rules did: a certificate without qcStatements keeps that (legal value, no lines); one
// with them is a qualified signature only when they make it a qualified certificate for
// electronic signatures on a qualified device, of a natural person.
Signature_qualification qualify_by_statements(const Certificate& certificate);

// Texts of the verdicts.
inline constexpr const char* Qualification_text_qualified =
    "il certificato è qualificato per la firma elettronica, con la chiave su un dispositivo qualificato.";
inline constexpr const char* Qualification_text_not_listed =
    "il servizio che ha emesso il certificato non era nella lista di fiducia.";
inline constexpr const char* Qualification_text_service =
    "il servizio che ha emesso il certificato non era qualificato.";
inline constexpr const char* Qualification_text_criteria =
    "i criteri della lista di fiducia per questo servizio non possono essere valutati.";
inline constexpr const char* Qualification_text_statements =
    "le dichiarazioni di qualificazione (QcStatements) del certificato non sono leggibili.";
inline constexpr const char* Qualification_text_conflict =
    "la lista di fiducia dà indicazioni contrastanti su questo certificato.";
inline constexpr const char* Qualification_text_not_qualified = "il certificato non è qualificato.";
inline constexpr const char* Qualification_text_declared_not_qualified =
    "la lista di fiducia dichiara il certificato non qualificato.";
inline constexpr const char* Qualification_text_seal =
    "il certificato è qualificato per sigilli elettronici, non per firme.";
inline constexpr const char* Qualification_text_web =
    "il certificato è qualificato per l'autenticazione di siti web, non per firme.";
inline constexpr const char* Qualification_text_unknown_use = "l'uso del certificato qualificato non è determinabile.";
inline constexpr const char* Qualification_text_service_use =
    "il servizio non era qualificato per certificati di firma elettronica.";
inline constexpr const char* Qualification_text_no_device =
    "la chiave del certificato non è su un dispositivo qualificato per la creazione della firma.";
inline constexpr const char* Qualification_text_legal_person = "il certificato è rilasciato a una persona giuridica.";
inline constexpr const char* Qualification_text_services_disagree =
    "i servizi delle liste di fiducia per questa autorità di certificazione danno esiti diversi, quindi la "
    "qualificazione del certificato non è determinabile";
inline constexpr const char* Qualification_text_by_certificate = "Secondo le dichiarazioni del certificato";

} // namespace velin
