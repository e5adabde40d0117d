// What the verifier needs from the decoder of one kind of signed file (a PKCS#7 envelope, a
// signed PDF): the document carried inside, and for each signer its certificate, its signing time
// and whether its signature matches. Calls follow the order parse, extract_original_document,
// read_signatures, then per signer select_signature and the readers.
#pragma once

#include "envelope/assignable.h"
#include "envelope/cades_archive.h"
#include "envelope/document_bytes.h"
#include "envelope/signed_document_info.h"
#include "envelope/signer_certificate.h"
#include "envelope/system_time.h"
#include "envelope/timestamp_token.h"
#include "envelope/validation_data.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace velin {

class Signed_document {
public:
    virtual ~Signed_document() = default;

    // Decodes the signed file from bytes; parsed () tells whether it worked.
    virtual void parse(std::span<const uint8_t> bytes) = 0;
    virtual bool parsed() const = 0;

    // Locates the signer list; signatures_read () tells whether it was found.
    virtual void read_signatures() = 0;
    virtual bool signatures_read() const = 0;

    // The name of the document inside, as the signed file states it (may be empty).
    virtual std::string file_name() const = 0;

    // Extracts the carried document (and, where the format needs the document for it, checks
    // every signer's signature against it).
    virtual void extract_original_document() = 0;
    // True when the extracted document is not empty.
    virtual bool has_content() const = 0;
    virtual std::span<const uint8_t> content() const = 0;
    // Hands the extracted document over without copying it; has_content () is false afterwards.
    virtual Document_bytes release_content() = 0;

    virtual size_t signatures_count() const = 0;
    // Makes signer index the current one; requires index < signatures_count ().
    virtual void select_signature(size_t index) = 0;

    virtual void read_signer_certificate() = 0;
    virtual bool certificate_read() const = 0;
    // Requires certificate_read ().
    virtual const Signer_certificate& signer_certificate() const = 0;

    virtual void read_signing_time() = 0;
    // Empty when the current signer has no usable signing time.
    virtual std::shared_ptr<const System_time> signing_time() const = 0;

    // The outcome of the signature check of the current signer.
    virtual Assignable<Signature_integrity> signature_integrity() const = 0;

    // Why parse did not succeed, in the user's words; empty for the common message.
    virtual std::string failure_text() const { return {}; }

    // The current signer's time-stamp tokens of a scope (Signature: the unsigned signature time
    // stamps; Content: the signed content time stamps), as encoded; none by default.
    virtual std::vector<std::vector<uint8_t>> signer_timestamp_tokens(Timestamp_scope scope) const
    {
        (void)scope;
        return {};
    }
    // The current signer's time stamps over its long-term data (archive time stamps, time stamps
    // over its references), checked by the decoder, which alone knows what they cover; listed
    // after its signature and content time stamps. Their covered_timestamps count among the
    // signer's own time stamps in that order (its first signature time stamp is 0).
    virtual std::vector<Timestamp_info> signer_long_term_timestamps() const { return {}; }
    // What is wrong with the current signer's long-term data that none of those time stamps
    // covers, in the user's words; none by default.
    virtual std::vector<std::string> long_term_warnings() const { return {}; }
    // The current signer's archive time stamps and CAdES-X time stamps, each with what its imprint
    // covers; none by default.
    virtual std::vector<Archive_timestamp_input> signer_archive_timestamps() const { return {}; }
    // The digests of the document made while the signatures were checked (by OpenSSL digest
    // type), for the time stamps that cover the document's digest too.
    virtual std::map<int, std::vector<uint8_t>> content_digests() const { return {}; }
    // The current signer's signature value, which a signature time stamp covers.
    virtual std::vector<uint8_t> signature_value() const { return {}; }
    // The current signer's countersignatures, each checked against its signature value.
    virtual std::vector<Countersignature_info> countersignatures() const { return {}; }
    // The OpenSSL NID of the current signer's digest algorithm; 0 when unknown.
    virtual int digest_algorithm() const { return 0; }
    // Why the current signer's signature could not be checked at all (a form this program does
    // not read), in the user's words; empty when it was checked.
    virtual std::string unchecked_text() const { return {}; }
    // The document was changed after the current signer's signature (a later revision of a PDF):
    // the signature covers an earlier state of it only.
    virtual bool changed_after_signature() const { return false; }
    // The current signer's signature is in the file, but no field of the document's form refers
    // to it (a PDF's signature dictionary of its own): readers that show the form's signatures
    // do not show it.
    virtual bool outside_form() const { return false; }
    // What the changes after the current signer's signature were, when they are known.
    virtual Later_changes later_changes() const { return {}; }
    // Where the revision the current signer's signature closes ends in the file (a PDF updated
    // incrementally); 0 when the file has no revisions or the signature's range is not its own.
    virtual uint64_t signed_revision_end() const { return 0; }
    // The current signer's signing-certificate attribute names another certificate than the one
    // its signature is checked with (a certificate swapped for another of the same key).
    virtual bool signing_certificate_mismatch() const { return false; }
    // Why the current signer's signature has no legal value whatever its certificate; none by default.
    virtual Legal_value_bar no_legal_value() const { return {}; }

    // The time stamps of the file's own that are not a signer's (a PDF's document time stamps),
    // checked as far as they can be without the trusted lists; read after the signers. Their
    // covered_timestamps count among these document time stamps.
    virtual std::vector<Timestamp_info> document_timestamps() const { return {}; }
    // The validation data the file carries for all its signers; read after the signers.
    virtual Validation_data validation_data() const { return {}; }
    // A signature without its document, which lies in a file of its own (file_name () names it
    // when the signature does).
    virtual bool detached() const { return false; }
    // Checks every signer against the document of a detached signature, which becomes the content.
    virtual void verify_detached(Document_bytes document) { (void)document; }
};

} // namespace velin
