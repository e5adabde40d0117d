// What the window shows for one signature, from the states of its record: the texts and the
// severities decide the outcome the user sees.
#include "VelinVerify/pipeline/signature_display.h"
#include "envelope/document_name.h"

#include <gtest/gtest.h>

namespace velin {
namespace {

Signature_info intact_signature()
{
    Signature_info signature;
    signature.signing_time.assign(System_time{2049, 12, 0, 31, 23, 59, 59, 0});
    signature.integrity.assign(Signature_integrity::Intact);
    return signature;
}

Signer_record chained_record()
{
    Signer_record record;
    record.chain.assign({});
    record.signature_kind.assign(Signature_kind::Legal_value);
    return record;
}

TEST(Signature_display, SigningTimeIsZeroFilledDayFirstAndEachStateHasItsText)
{
    EXPECT_EQ(format_signing_time(System_time{2007, 3, 0, 4, 5, 6, 7, 0}), "04/03/2007 05:06:07");
    EXPECT_EQ(format_signing_time(System_time{2049, 12, 0, 31, 23, 59, 59, 0}), "31/12/2049 23:59:59");

    Assignable<System_time> time;
    EXPECT_EQ(signing_time_text(time), "<decodifica in corso...>");
    time.set_unavailable();
    EXPECT_EQ(signing_time_text(time), "<informazione non disponibile>");
    time.set_failed("x");
    EXPECT_EQ(signing_time_text(time), "<decodifica fallita>");
}

TEST(Signature_display, KindTextFollowsTheClassificationState)
{
    Signer_record record = chained_record();
    EXPECT_EQ(show_signature(intact_signature(), record, false).kind, "Firma digitale (con validità legale)");
    record.signature_kind.assign(Signature_kind::Attestation);
    EXPECT_EQ(show_signature(intact_signature(), record, false).kind, "Firma elettronica (attestazione)");
    record.signature_kind.assign(Signature_kind::Undetermined);
    EXPECT_EQ(show_signature(intact_signature(), record, false).kind, "<informazione non disponibile>");
    record.signature_kind.set_failed("La rilevazione dell'uso della chiave è fallita.");
    EXPECT_EQ(show_signature(intact_signature(), record, false).kind, "Firma elettronica (attestazione)");
    record.signature_kind.set_pending();
    EXPECT_EQ(show_signature(intact_signature(), record, false).kind, "<decodifica in corso...>");
}

TEST(Signature_display, EveryRevocationStatusGivesItsLinesAndFlags)
{
    struct Case {
        Revocation_status status;
        std::vector<Status_line> lines;
        bool warnings;
        bool errors;
    };
    const Case cases[] = {
        {Revocation_status::Valid, {{Line_severity::Information, "Il certificato è valido."}}, false, false},
        {Revocation_status::Expired, {{Line_severity::Error, "Il certificato è scaduto."}}, false, true},
        {Revocation_status::Not_yet_valid,
         {{Line_severity::Error, "Il certificato non è ancora valido."}},
         false,
         true},
        {Revocation_status::Revoked, {{Line_severity::Error, "Il certificato è stato revocato."}}, false, true},
        {Revocation_status::Update_disabled,
         {{Line_severity::Information, "L'aggiornamento delle revoche è disabilitato."},
          {Line_severity::Warning, "La revoca del certificato non può essere rilevata."}},
         true,
         false},
        {Revocation_status::Not_determinable,
         {{Line_severity::Error, "La validità del certificato non può essere rilevata."}},
         false,
         true},
    };
    for (const Case& expected : cases) {
        Signer_record record = chained_record();
        record.revocation_status = expected.status;
        const Signature_display display = show_signature(intact_signature(), record, true);
        EXPECT_EQ(display.status, expected.lines) << static_cast<int>(expected.status);
        EXPECT_EQ(display.warnings, expected.warnings) << static_cast<int>(expected.status);
        EXPECT_EQ(display.errors, expected.errors) << static_cast<int>(expected.status);
    }

    // Not yet checked: a line only while the revocation stage runs.
    Signer_record record = chained_record();
    EXPECT_TRUE(show_signature(intact_signature(), record, false).status.empty());
    EXPECT_EQ(
        show_signature(intact_signature(), record, true).status,
        (std::vector<Status_line>{{Line_severity::Information, "La verifica dell'eventuale revoca è in corso..."}}));
}

// A certificate that names no CRL and no OCSP responder: the lines say so, not that the setting
// kept the check from being made.
TEST(Signature_display, NoRevocationSourceIsNotBlamedOnTheSetting)
{
    Signer_record record = chained_record();
    record.revocation_status = Revocation_status::Update_disabled;
    record.revocation_no_source = true;
    const Signature_display display = show_signature(intact_signature(), record, true);
    EXPECT_EQ(display.status,
              (std::vector<Status_line>{
                  {Line_severity::Information,
                   "Il certificato non indica dove verificarne la revoca: né una lista di revoca né un servizio OCSP."},
                  {Line_severity::Warning, "La revoca del certificato non può essere rilevata."}}));
    EXPECT_TRUE(display.warnings);
    EXPECT_FALSE(display.errors);
}

// An expired certificate whose only lists came after its expiry without naming it: the lines say
// why its revocation stays unknown, above the usual error.
TEST(Signature_display, ListsSilentAfterExpirySayWhyTheRevocationIsUnknown)
{
    Signer_record record = chained_record();
    record.revocation_status = Revocation_status::Not_determinable;
    record.revocation_silent_after_expiry = true;
    const Signature_display display = show_signature(intact_signature(), record, true);
    EXPECT_EQ(display.status,
              (std::vector<Status_line>{
                  {Line_severity::Warning,
                   "Il certificato è scaduto e le liste di revoca disponibili, emesse dopo la scadenza, non indicano "
                   "se era stato revocato prima: la revoca non può essere rilevata."},
                  {Line_severity::Error, "La validità del certificato non può essere rilevata."}}));
    EXPECT_TRUE(display.errors);
}

TEST(Signature_display, ChainIssuerAndMismatchLinesComeInOrder)
{
    Signature_info signature = intact_signature();
    signature.integrity.assign(Signature_integrity::Not_intact);
    Signer_record record;
    record.chain.set_failed({});
    record.signature_kind.assign(Signature_kind::Undetermined);
    // No issuer, so no list was used: the setting is not what stopped the check.
    record.revocation_status = Revocation_status::Update_disabled;
    record.revocation_issuer = 2;
    const Signature_display display = show_signature(signature, record, false);
    EXPECT_EQ(display.status,
              (std::vector<Status_line>{
                  {Line_severity::Error, "La firma non corrisponde al documento."},
                  {Line_severity::Warning, "L'attendibilità di questa firma non può essere determinata."},
                  {Line_severity::Warning,
                   "La lista delle revoche non può essere verificata, perché manca l'emittente del certificato."},
                  {Line_severity::Warning, "La revoca del certificato non può essere rilevata."},
              }));
    EXPECT_TRUE(display.errors);
    EXPECT_TRUE(display.warnings);

    // A signature that matches the revision it signed, with a later one after it: a warning.
    Signature_info earlier = intact_signature();
    earlier.changed_after = true;
    const Signature_display changed = show_signature(earlier, chained_record(), false);
    EXPECT_EQ(changed.status, (std::vector<Status_line>{{Line_severity::Warning, changed_after_signature_text}}));
    EXPECT_TRUE(changed.warnings);
    EXPECT_FALSE(changed.errors);
    // What changed, when known, replaces that line: allowed changes warn, the others are an error
    // even though the signature's own bytes match.
    earlier.later_changes = {"consentite", "non consentite"};
    const Signature_display judged = show_signature(earlier, chained_record(), false);
    EXPECT_EQ(judged.status, (std::vector<Status_line>{{Line_severity::Error, "non consentite"},
                                                       {Line_severity::Warning, "consentite"}}));
    EXPECT_TRUE(judged.errors);
    // Time stamps and validation data alone are information; a signature outside the form warns.
    earlier.later_changes = {"marche", "", true};
    earlier.outside_form = true;
    const Signature_display long_term = show_signature(earlier, chained_record(), false);
    EXPECT_EQ(long_term.status, (std::vector<Status_line>{{Line_severity::Warning, signature_outside_form_text},
                                                          {Line_severity::Information, "marche"}}));

    // An integrity check that could not be made is no match either.
    Signature_info unchecked = intact_signature();
    unchecked.integrity.set_failed("senza certificato");
    EXPECT_TRUE(show_signature(unchecked, chained_record(), false).errors);

    Signer_record pending;
    EXPECT_EQ(show_signature(intact_signature(), pending, false).status,
              (std::vector<Status_line>{
                  {Line_severity::Information, "Rilevazione dell'attendibilità della firma in corso..."}}));
}

TEST(Signature_display, ChainWithoutOutcomeIsIncompleteNotPending)
{
    Signer_record record;
    apply_chain_outcome(record, std::nullopt);
    EXPECT_EQ(record.chain.state(), Assignable_state::Failed);
    const Signature_display display = show_signature(intact_signature(), record, false);
    EXPECT_EQ(display.kind, "<informazione non disponibile>");
    EXPECT_TRUE(display.warnings);
}

TEST(Document_name, OnlyALastP7mIsRemovedAndAnotherOneMeansAnInnerEnvelope)
{
    const Document_name plain = derive_document_name("/tmp/x.P7M");
    EXPECT_EQ(plain.full_name, "/tmp/x");
    EXPECT_EQ(plain.display_name, "x");
    EXPECT_FALSE(plain.inner_envelope);

    const Document_name nested = derive_document_name("/a.b/contratto.pdf.p7m.P7m");
    EXPECT_EQ(nested.full_name, "/a.b/contratto.pdf.p7m");
    EXPECT_EQ(nested.display_name, "contratto.pdf.p7m");
    EXPECT_TRUE(nested.inner_envelope);

    const Document_name stamped = derive_document_name("/tmp/x.pdf.m7m");
    EXPECT_EQ(stamped.display_name, "x.pdf.m7m");
    EXPECT_FALSE(stamped.inner_envelope);

    // A folder named like an envelope is not one.
    const Document_name folder = derive_document_name("/tmp/y.p7m/doc.p7m");
    EXPECT_EQ(folder.display_name, "doc");
    EXPECT_FALSE(folder.inner_envelope);
}

} // namespace
} // namespace velin
