#include "norax_sign/envelope_signature.h"

#include "common/openssl_error.h"
#include "common/owner.h"
#include "common/trace.h"
#include "envelope/base64_decode.h"
#include "envelope/pkcs7.h"
#include "envelope/signature_check.h"
#include "norax_sign/ber_tree.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/ess.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <string_view>

namespace velin {

namespace {

constexpr uint8_t Sequence = 0x30;
constexpr uint8_t Set = 0x31;
constexpr uint8_t Context_0 = 0xA0;
constexpr uint8_t Context_1 = 0xA1;

// The parts of a SignedData ContentInfo, as spans of the envelope's own bytes.
struct Signed_data_parts {
    std::span<const uint8_t> content_info;
    std::span<const uint8_t> content_type;
    std::span<const uint8_t> explicit_content; // [0] EXPLICIT
    std::span<const uint8_t> signed_data;
    std::span<const uint8_t> version;
    std::span<const uint8_t> digest_algorithms;
    std::span<const uint8_t> encapsulated;
    std::optional<std::span<const uint8_t>> certificates;
    std::optional<std::span<const uint8_t>> crls;
    std::span<const uint8_t> signer_infos;
};

uint8_t first_octet(std::span<const uint8_t> element)
{
    return element.empty() ? 0 : element[0];
}

std::optional<Signed_data_parts> signed_data_parts(std::span<const uint8_t> bytes)
{
    Signed_data_parts parts;
    const auto content_info = ber_element(bytes);
    if (!content_info || first_octet(*content_info) != Sequence)
        return std::nullopt;
    parts.content_info = *content_info;
    const auto outer = ber_children(parts.content_info);
    if (!outer || outer->size() != 2 || first_octet((*outer)[1]) != Context_0)
        return std::nullopt;
    parts.content_type = (*outer)[0];
    parts.explicit_content = (*outer)[1];
    const auto explicit_children = ber_children(parts.explicit_content);
    if (!explicit_children || explicit_children->size() != 1 || first_octet((*explicit_children)[0]) != Sequence)
        return std::nullopt;
    parts.signed_data = (*explicit_children)[0];
    const auto fields = ber_children(parts.signed_data);
    if (!fields || fields->size() < 4)
        return std::nullopt;
    size_t at = 0;
    parts.version = (*fields)[at++];
    parts.digest_algorithms = (*fields)[at++];
    parts.encapsulated = (*fields)[at++];
    if (at < fields->size() && first_octet((*fields)[at]) == Context_0)
        parts.certificates = (*fields)[at++];
    if (at < fields->size() && first_octet((*fields)[at]) == Context_1)
        parts.crls = (*fields)[at++];
    if (at + 1 != fields->size() || first_octet(parts.digest_algorithms) != Set ||
        first_octet(parts.encapsulated) != Sequence || first_octet((*fields)[at]) != Set)
        return std::nullopt;
    parts.signer_infos = (*fields)[at];
    return parts;
}

// The SignedData around the fields given, inside the envelope's ContentInfo and [0], each
// container keeping its own length form.
Ber_node envelope_with(const Signed_data_parts& parts, std::vector<Ber_node> fields)
{
    Ber_node signed_data = Ber_node::rebuilt(parts.signed_data, std::move(fields));
    std::vector<Ber_node> explicit_children;
    explicit_children.push_back(std::move(signed_data));
    std::vector<Ber_node> outer;
    outer.push_back(Ber_node::verbatim(parts.content_type));
    outer.push_back(Ber_node::rebuilt(parts.explicit_content, std::move(explicit_children)));
    return Ber_node::rebuilt(parts.content_info, std::move(outer));
}

// The order of a DER SET OF: the encodings compared as octet strings, the shorter one padded with
// zero octets.
bool der_set_order(std::span<const uint8_t> a, std::span<const uint8_t> b)
{
    const int compared = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    return compared != 0 ? compared < 0 : a.size() < b.size();
}

// The container rebuilt with its children as they are and `added` after them (or, in a DER
// envelope, where DER orders it), unless a child already stands for it; empty when the
// container's children cannot be read (nothing of the envelope may be lost on the way).
std::optional<Ber_node> with_child_added(std::span<const uint8_t> container, std::span<const uint8_t> added,
                                         const std::function<bool(std::span<const uint8_t>)>& stands_for_added,
                                         bool der)
{
    auto present = ber_children(container);
    if (!present)
        return std::nullopt;
    if (std::none_of(present->begin(), present->end(), stands_for_added))
        present->push_back(added);
    if (der)
        std::stable_sort(present->begin(), present->end(), der_set_order);
    std::vector<Ber_node> children;
    for (const auto child : *present)
        children.push_back(Ber_node::verbatim(child));
    return Ber_node::rebuilt(container, std::move(children));
}

// The algorithm's object identifier, the first element of an AlgorithmIdentifier.
std::optional<std::span<const uint8_t>> algorithm_oid(std::span<const uint8_t> identifier)
{
    const auto children = ber_children(identifier);
    if (!children || children->empty())
        return std::nullopt;
    return children->front();
}

bool equal_bytes(std::span<const uint8_t> a, std::span<const uint8_t> b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

bool add_signed_attribute(CMS_SignerInfo* signer, int nid, int type, const void* value, int length)
{
    return CMS_signed_add1_attr_by_NID(signer, nid, type, value, length) == 1;
}

// Whether every signer of cms signed the content whose digests are given: the message digest
// attribute and the signature over the signed attributes, or the signature over the content when
// there are none. On the first that does not, false with the text for the user in failure and the
// signer named in a trace record. Countersignatures are not looked at. The memo keeps a signer
// checked once from being checked again in the co-signed envelope.
bool every_signer_matches(CMS_ContentInfo* cms, Document_digests& digests, Signature_memo& memo, std::string& failure)
{
    pair_signers_with_certificates(cms);
    const ASN1_OBJECT* content_type = CMS_get0_eContentType(cms);
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
    for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i) {
        std::string reason;
        const Signer_check check =
            check_signer(sk_CMS_SignerInfo_value(signers, i), content_type, digests, reason, &memo);
        if (check == Signer_check::Matches)
            continue;
        if (check == Signer_check::Does_not_match) {
            failure = Text_earlier_signature_mismatch;
            Trace(Trace_kind, Level_trace) << "La firma n. " << i + 1 << " della busta non corrisponde al documento.";
        } else {
            failure = Text_earlier_signature_unchecked;
            Trace(Trace_kind, Level_trace)
                << "La firma n. " << i + 1
                << " della busta non può essere verificata: " << (reason.empty() ? openssl_error_text() : reason);
        }
        ERR_clear_error();
        return false;
    }
    ERR_clear_error();
    return true;
}

Owner<CMS_ContentInfo> read_cms(std::span<const uint8_t> bytes)
{
    if (bytes.size() > static_cast<size_t>(LONG_MAX))
        return nullptr;
    const unsigned char* in = bytes.data();
    return Owner<CMS_ContentInfo>(d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(bytes.size())));
}

// True when bytes are the DER encoding of cms, which they are when OpenSSL (which writes DER)
// writes cms again to the same bytes.
bool is_der(CMS_ContentInfo* cms, std::span<const uint8_t> bytes)
{
    const int size = i2d_CMS_ContentInfo(cms, nullptr);
    if (size <= 0 || static_cast<size_t>(size) != bytes.size())
        return false;
    std::vector<uint8_t> again(static_cast<size_t>(size));
    unsigned char* out = again.data();
    i2d_CMS_ContentInfo(cms, &out);
    return again.size() == bytes.size() && std::equal(again.begin(), again.end(), bytes.begin());
}

// How a file holds its envelope, so that the co-signed envelope is written the same way.
struct Envelope_form {
    bool text = false; // base64 (bare, in PEM armour or an S/MIME body) rather than binary
    std::string head, foot; // the S/MIME headers, or the PEM armour, as they were
    size_t line_length = 0; // the longest base64 line's; 0 when the base64 is one line
    std::string line_end = "\n";
    bool final_line_end = false;
};

void read_line_style(std::string_view base64, Envelope_form& form)
{
    const size_t first_end = base64.find('\n');
    if (first_end != std::string_view::npos && first_end > 0 && base64[first_end - 1] == '\r')
        form.line_end = "\r\n";
    form.final_line_end = !base64.empty() && base64.back() == '\n';
    size_t longest = 0;
    size_t lines = 0;
    for (size_t at = 0; at < base64.size();) {
        const size_t end = std::min(base64.find('\n', at), base64.size());
        size_t length = end - at;
        if (length > 0 && base64[at + length - 1] == '\r')
            --length;
        if (length > 0)
            ++lines;
        longest = std::max(longest, length);
        at = end + 1;
    }
    form.line_length = lines > 1 ? longest : 0;
}

// The envelope inside a text the verifier reads as one (an S/MIME message, PEM armour, bare
// base64), told apart as the verifier does; empty when the base64 does not decode.
std::optional<std::vector<uint8_t>> decoded_envelope(std::span<const uint8_t> bytes, Envelope_form& form)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::string_view base64 = text;
    if (const size_t body = smime_body_start(text)) {
        form.head = text.substr(0, body);
        base64 = text.substr(body);
    } else if (const auto armoured = pem_body(text)) {
        form.head = text.substr(0, armoured->first);
        base64 = text.substr(armoured->first, armoured->second);
        form.foot = text.substr(armoured->first + armoured->second);
    }
    Base64_decode decoder;
    if (!decoder.decode(base64, Base64_decode::Form::Lenient))
        return std::nullopt;
    form.text = true;
    read_line_style(base64, form);
    return decoder.take_value();
}

// A signed envelope opened to be added to: binary from a SEQUENCE's first octet, as the verifier
// takes it, anything else read as text (its form kept, to write it back the same way).
struct Opened_envelope {
    Envelope_form form;
    std::vector<uint8_t> decoded;
    std::span<const uint8_t> bytes;
    Owner<CMS_ContentInfo> cms;
    std::optional<Signed_data_parts> parts;
    std::span<const uint8_t> document; // the signed content, inside cms
};

// False, with the failure said, when the bytes are no signed envelope holding its document.
bool open_envelope(std::span<const uint8_t> envelope, Opened_envelope& opened, std::string& failure)
{
    opened.bytes = envelope;
    if (!envelope.empty() && envelope[0] != Sequence) {
        if (auto from_text = decoded_envelope(envelope, opened.form))
            opened.decoded = std::move(*from_text);
        opened.bytes = opened.decoded;
    }
    opened.cms = read_cms(opened.bytes);
    opened.parts = signed_data_parts(opened.bytes);
    if (!opened.cms || !opened.parts || OBJ_obj2nid(CMS_get0_type(opened.cms.get())) != NID_pkcs7_signed) {
        failure = "Il file non è una busta PKCS#7 firmata.";
        return false;
    }
    ASN1_OCTET_STRING** content = CMS_get0_content(opened.cms.get());
    if (!content || !*content) {
        failure = "La busta non contiene il documento firmato.";
        return false;
    }
    opened.document = std::span<const uint8_t>(ASN1_STRING_get0_data(*content),
                                               static_cast<size_t>(std::max(0, ASN1_STRING_length(*content))));
    return true;
}

std::string base64_of(std::span<const uint8_t> bytes)
{
    // A multiple of 3 bytes at a time: no padding but at the very end.
    constexpr size_t chunk = 3 * 1024 * 1024;
    std::vector<unsigned char> encoded(chunk / 3 * 4 + 1);
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        const size_t size = std::min(chunk, bytes.size() - at);
        const int written = EVP_EncodeBlock(encoded.data(), bytes.data() + at, static_cast<int>(size));
        text.append(reinterpret_cast<const char*>(encoded.data()), static_cast<size_t>(std::max(written, 0)));
    }
    return text;
}

// The envelope in the form the original came in.
std::vector<uint8_t> in_form(std::vector<uint8_t> envelope, const Envelope_form& form)
{
    if (!form.text)
        return envelope;
    const std::string base64 = base64_of(envelope);
    const size_t step = form.line_length ? form.line_length : base64.size();
    std::string text = form.head;
    text.reserve(form.head.size() + base64.size() + base64.size() / step * form.line_end.size() + form.foot.size() + 2);
    for (size_t at = 0; at < base64.size(); at += step) {
        text.append(base64, at, step);
        if (at + step < base64.size() || form.final_line_end)
            text += form.line_end;
    }
    text += form.foot;
    return {text.begin(), text.end()};
}

} // namespace

std::optional<std::vector<uint8_t>> detached_signature(BIO* content, const ASN1_OBJECT* content_type,
                                                       const Signing_identity& identity,
                                                       std::chrono::system_clock::time_point signing_time,
                                                       std::string& failure, const Signature_stamper& stamp)
{
    ERR_clear_error();
    const unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL;
    Owner<CMS_ContentInfo> cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!cms || (content_type && CMS_set1_eContentType(cms.get(), content_type) != 1)) {
        failure = "Errore durante la preparazione della firma: " + openssl_error_text();
        return std::nullopt;
    }
    CMS_SignerInfo* signer =
        CMS_add1_signer(cms.get(), identity.certificate, identity.key, EVP_sha256(), CMS_PARTIAL | CMS_NOSMIMECAP);
    if (!signer) {
        failure = "Errore durante la preparazione della firma: " + openssl_error_text();
        return std::nullopt;
    }

    // The time of the signature as UTC, from the clock the caller read. A time that cannot be made
    // or encoded is recorded (an error for a new envelope, a warning for a co-signature) and the
    // signature goes on without it: the signature's profile does not require it.
    const Trace_level time_level = content_type ? Level_warn : Level_error;
    const Owner<ASN1_TIME> time(ASN1_TIME_set(nullptr, std::chrono::system_clock::to_time_t(signing_time)));
    if (!time || ASN1_TIME_check(time.get()) != 1) {
        Trace(Trace_kind, time_level) << "Errore durante la generazione di data e ora di firma.";
    } else if (!add_signed_attribute(signer, NID_pkcs9_signingTime, ASN1_STRING_type(time.get()), time.get(), -1)) {
        Trace(Trace_kind, time_level) << "Errore durante la codifica di data e ora di firma.";
    }
    // The certificate the signer meant, bound into the signature (CAdES-BES).
    const Owner<ESS_SIGNING_CERT_V2> essential(
        OSSL_ESS_signing_cert_v2_new_init(EVP_sha256(), identity.certificate, nullptr, 1));
    unsigned char* encoded = nullptr;
    const int encoded_size = essential ? i2d_ESS_SIGNING_CERT_V2(essential.get(), &encoded) : -1;
    const Owner<unsigned char, Openssl_free> owned(encoded);
    if (encoded_size <= 0 ||
        !add_signed_attribute(signer, NID_id_smime_aa_signingCertificateV2, V_ASN1_SEQUENCE, encoded, encoded_size)) {
        failure = "Errore durante la codifica degli attributi firmati: " + openssl_error_text();
        return std::nullopt;
    }

    // The content is streamed through the digest: a document of any size is read once.
    if (CMS_final(cms.get(), content, nullptr, CMS_DETACHED | CMS_BINARY) != 1) {
        failure = "Errore durante la firma: " + openssl_error_text();
        return std::nullopt;
    }
    // The time stamp over the signature value goes among the unsigned attributes, which the
    // signature does not cover.
    if (stamp) {
        const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(signer);
        const auto token =
            stamp(std::span(ASN1_STRING_get0_data(value), static_cast<size_t>(ASN1_STRING_length(value))), failure);
        if (!token)
            return std::nullopt;
        if (token->size() > static_cast<size_t>(INT_MAX) ||
            CMS_unsigned_add1_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE, token->data(),
                                          static_cast<int>(token->size())) != 1) {
            failure = "Errore durante la codifica della marca temporale: " + openssl_error_text();
            return std::nullopt;
        }
    }
    const int size = i2d_CMS_ContentInfo(cms.get(), nullptr);
    if (size <= 0) {
        failure = "Errore durante la codifica della firma: " + openssl_error_text();
        return std::nullopt;
    }
    std::vector<uint8_t> der(static_cast<size_t>(size));
    unsigned char* out = der.data();
    i2d_CMS_ContentInfo(cms.get(), &out);
    return der;
}

std::optional<Envelope_layout> new_envelope(BIO* content, uint64_t document_size, const Signing_identity& identity,
                                            std::chrono::system_clock::time_point signing_time, std::string& failure,
                                            const Signature_stamper& stamp)
{
    const auto detached = detached_signature(content, nullptr, identity, signing_time, failure, stamp);
    if (!detached)
        return std::nullopt;
    const auto parts = signed_data_parts(*detached);
    const auto encapsulated = parts ? ber_children(parts->encapsulated) : std::nullopt;
    if (!encapsulated || encapsulated->size() != 1) {
        failure = "Errore durante la composizione della busta.";
        return std::nullopt;
    }
    // eContent: [0] EXPLICIT OCTET STRING holding the document, written by the caller.
    std::vector<Ber_node> octets;
    octets.push_back(Ber_node::external(document_size));
    std::vector<Ber_node> explicit_content;
    explicit_content.push_back(Ber_node::container({0x04}, false, std::move(octets)));
    std::vector<Ber_node> encapsulated_children;
    encapsulated_children.push_back(Ber_node::verbatim(encapsulated->front()));
    encapsulated_children.push_back(Ber_node::container({Context_0}, false, std::move(explicit_content)));

    std::vector<Ber_node> fields;
    fields.push_back(Ber_node::verbatim(parts->version));
    fields.push_back(Ber_node::verbatim(parts->digest_algorithms));
    fields.push_back(Ber_node::rebuilt(parts->encapsulated, std::move(encapsulated_children)));
    if (parts->certificates)
        fields.push_back(Ber_node::verbatim(*parts->certificates));
    fields.push_back(Ber_node::verbatim(parts->signer_infos));

    Ber_layout layout;
    envelope_with(*parts, std::move(fields)).write(layout);
    return Envelope_layout{std::move(layout.head), document_size, std::move(layout.tail)};
}

bool envelope_signed_by(std::span<const uint8_t> envelope, X509* certificate)
{
    Opened_envelope opened;
    std::string failure;
    if (!certificate || !open_envelope(envelope, opened, failure))
        return false;
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(opened.cms.get());
    for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i)
        if (CMS_SignerInfo_cert_cmp(sk_CMS_SignerInfo_value(signers, i), certificate) == 0)
            return true;
    return false;
}

std::optional<std::vector<uint8_t>> add_parallel_signer(std::span<const uint8_t> envelope,
                                                        const Signing_identity& identity,
                                                        std::chrono::system_clock::time_point signing_time,
                                                        std::string& failure, Parallel_stage* stage,
                                                        const Signature_stamper& stamp)
{
    Parallel_stage ignored;
    Parallel_stage& reached = stage ? *stage : ignored;
    reached = Parallel_stage::Reading;
    ERR_clear_error();
    Opened_envelope opened;
    if (!open_envelope(envelope, opened, failure))
        return std::nullopt;
    const Envelope_form& form = opened.form;
    const std::span<const uint8_t> bytes = opened.bytes;
    const Owner<CMS_ContentInfo>& existing = opened.cms;
    const auto& parts = opened.parts;
    const std::span<const uint8_t> document = opened.document;

    // A signature added to an envelope whose document was changed after it was signed would vouch
    // for a document its other signers never signed.
    reached = Parallel_stage::Checking;
    Document_digests digests(document);
    Signature_memo memo;
    if (!every_signer_matches(existing.get(), digests, memo, failure))
        return std::nullopt;
    const bool der = is_der(existing.get(), bytes);

    // The new signer signs the same content under the same content type.
    reached = Parallel_stage::Signing;
    const Owner<BIO> content_bio(BIO_new_mem_buf(document.data(), static_cast<int>(document.size())));
    const auto detached = content_bio ? detached_signature(content_bio.get(), CMS_get0_eContentType(existing.get()),
                                                           identity, signing_time, failure, stamp)
                                      : std::nullopt;
    if (!detached)
        return std::nullopt;
    reached = Parallel_stage::Composing;
    const auto added = signed_data_parts(*detached);
    const auto added_algorithms = added ? ber_children(added->digest_algorithms) : std::nullopt;
    const auto added_certificates = added && added->certificates ? ber_children(*added->certificates) : std::nullopt;
    const auto added_signers = added ? ber_children(added->signer_infos) : std::nullopt;
    if (!added_algorithms || added_algorithms->size() != 1 || !added_certificates || added_certificates->size() != 1 ||
        !added_signers || added_signers->size() != 1) {
        failure = "Errore durante la composizione della busta.";
        return std::nullopt;
    }
    const auto new_algorithm = added_algorithms->front();
    const auto new_certificate = added_certificates->front();

    const auto new_oid = algorithm_oid(new_algorithm);
    const auto never = [](std::span<const uint8_t>) { return false; };
    // The digest algorithm unless an earlier signer named it, the certificate unless the envelope
    // carries it already (a second signature by the same holder), and the new signer last (in a
    // DER envelope, each where DER orders it; the earlier ones keep their order and bytes).
    const auto algorithms = with_child_added(
        parts->digest_algorithms, new_algorithm,
        [&](auto algorithm) {
            const auto oid = algorithm_oid(algorithm);
            return oid && new_oid && equal_bytes(*oid, *new_oid);
        },
        der);
    const auto certificates =
        parts->certificates ? with_child_added(
                                  *parts->certificates, new_certificate,
                                  [&](auto certificate) { return equal_bytes(certificate, new_certificate); }, der)
                            : Ber_node::verbatim(*added->certificates);
    const auto signers = with_child_added(parts->signer_infos, added_signers->front(), never, der);
    if (!algorithms || !certificates || !signers) {
        failure = "Errore durante la composizione della busta.";
        return std::nullopt;
    }

    std::vector<Ber_node> fields;
    fields.push_back(Ber_node::verbatim(parts->version));
    fields.push_back(*algorithms);
    fields.push_back(Ber_node::verbatim(parts->encapsulated));
    fields.push_back(*certificates);
    if (parts->crls)
        fields.push_back(Ber_node::verbatim(*parts->crls));
    fields.push_back(*signers);
    std::vector<uint8_t> result = envelope_with(*parts, std::move(fields)).bytes();

    // Every signature, the new one too, must read back as matching the document, and a DER
    // envelope must still be DER: otherwise the change broke something, and nothing is handed back.
    const Owner<CMS_ContentInfo> reread = read_cms(result);
    std::string broken;
    if (!reread ||
        sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(reread.get())) !=
            sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(existing.get())) + 1 ||
        !every_signer_matches(reread.get(), digests, memo, broken) || (der && !is_der(reread.get(), result))) {
        failure = "La firma parallela altererebbe le firme già presenti nella busta.";
        return std::nullopt;
    }
    return in_form(std::move(result), form);
}

namespace {

// 1.2.840.113549.1.9.16.2.14, id-aa-signatureTimeStampToken, as the DER of its OID.
constexpr uint8_t Signature_timestamp_oid[] = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                               0x0D, 0x01, 0x09, 0x10, 0x02, 0x0E};

bool is_signature_timestamp(std::span<const uint8_t> attribute)
{
    const auto children = ber_children(attribute);
    return children && !children->empty() && equal_bytes(children->front(), Signature_timestamp_oid);
}

// The SignerInfo with the attribute among its unsigned attributes; empty when the signer is not
// one we can read, or carries a signature time stamp already (nullopt with already set).
std::optional<Ber_node> stamped_signer(std::span<const uint8_t> signer, const Signature_stamper& stamp, bool der,
                                       std::string& failure, bool& already)
{
    already = false;
    const auto fields = ber_children(signer);
    // version, sid, digestAlgorithm, [0] signedAttrs?, signatureAlgorithm, signature, [1] unsignedAttrs?
    if (!fields || fields->size() < 5) {
        failure = "Errore durante la lettura delle firme della busta.";
        return std::nullopt;
    }
    const bool has_unsigned = first_octet(fields->back()) == Context_1;
    const auto signature = (*fields)[fields->size() - (has_unsigned ? 2 : 1)];
    const auto header = read_ber_header(signature);
    if (!header || header->first_octet() != 0x04 || header->indefinite) {
        failure = "Errore durante la lettura delle firme della busta.";
        return std::nullopt;
    }
    if (has_unsigned) {
        const auto attributes = ber_children(fields->back());
        if (!attributes) {
            failure = "Errore durante la lettura delle firme della busta.";
            return std::nullopt;
        }
        if (std::any_of(attributes->begin(), attributes->end(), is_signature_timestamp)) {
            already = true;
            return std::nullopt;
        }
    }
    const auto token = stamp(signature.subspan(header->header_size), failure);
    if (!token)
        return std::nullopt;
    std::vector<Ber_node> values;
    values.push_back(Ber_node::verbatim(*token));
    std::vector<Ber_node> attribute_fields;
    attribute_fields.push_back(Ber_node::verbatim(Signature_timestamp_oid));
    attribute_fields.push_back(Ber_node::container({Set}, false, std::move(values)));
    const std::vector<uint8_t> attribute = Ber_node::container({Sequence}, false, std::move(attribute_fields)).bytes();

    std::vector<Ber_node> children;
    for (size_t i = 0; i + (has_unsigned ? 1 : 0) < fields->size(); ++i)
        children.push_back(Ber_node::verbatim((*fields)[i]));
    const auto never = [](std::span<const uint8_t>) { return false; };
    if (has_unsigned) {
        auto attributes = with_child_added(fields->back(), attribute, never, der);
        if (!attributes) {
            failure = "Errore durante la lettura delle firme della busta.";
            return std::nullopt;
        }
        children.push_back(std::move(*attributes));
    } else {
        std::vector<Ber_node> attributes;
        attributes.push_back(Ber_node::verbatim(attribute));
        children.push_back(Ber_node::container({Context_1}, false, std::move(attributes)));
    }
    return Ber_node::rebuilt(signer, std::move(children));
}

} // namespace

std::optional<std::vector<uint8_t>> add_signature_timestamps(std::span<const uint8_t> envelope,
                                                             const Signature_stamper& stamp, std::string& failure,
                                                             size_t* stamped)
{
    size_t ignored = 0;
    size_t& count = stamped ? *stamped : ignored;
    count = 0;
    ERR_clear_error();
    Opened_envelope opened;
    if (!open_envelope(envelope, opened, failure))
        return std::nullopt;
    const Envelope_form& form = opened.form;
    const std::span<const uint8_t> bytes = opened.bytes;
    const Owner<CMS_ContentInfo>& existing = opened.cms;
    const auto& parts = opened.parts;
    // A time stamp on a signature that does not match its document would lend it a date it
    // does not deserve.
    Document_digests digests(opened.document);
    Signature_memo memo;
    if (!every_signer_matches(existing.get(), digests, memo, failure)) {
        if (failure == Text_earlier_signature_mismatch)
            failure = "La marca temporale non è stata apposta: una delle firme non corrisponde al documento.";
        else
            failure = "La marca temporale non è stata apposta: una delle firme non può essere verificata.";
        return std::nullopt;
    }
    const bool der = is_der(existing.get(), bytes);
    const auto signers = ber_children(parts->signer_infos);
    if (!signers || signers->empty()) {
        failure = "La busta non contiene firme.";
        return std::nullopt;
    }
    std::vector<Ber_node> new_signers;
    for (const auto signer : *signers) {
        bool already = false;
        auto with_stamp = stamped_signer(signer, stamp, der, failure, already);
        if (!with_stamp && !already)
            return std::nullopt;
        if (with_stamp)
            ++count;
        new_signers.push_back(with_stamp ? std::move(*with_stamp) : Ber_node::verbatim(signer));
    }
    if (count == 0) {
        failure = "Ogni firma della busta ha già la sua marca temporale.";
        return std::nullopt;
    }
    if (der) {
        // The set of signers in DER order again: a signer's encoding changed.
        std::vector<std::vector<uint8_t>> encoded;
        for (const auto& node : new_signers)
            encoded.push_back(node.bytes());
        std::stable_sort(encoded.begin(), encoded.end(),
                         [](const auto& a, const auto& b) { return der_set_order(a, b); });
        new_signers.clear();
        for (const auto& signer : encoded)
            new_signers.push_back(Ber_node::verbatim(signer));
    }

    std::vector<Ber_node> fields;
    fields.push_back(Ber_node::verbatim(parts->version));
    fields.push_back(Ber_node::verbatim(parts->digest_algorithms));
    fields.push_back(Ber_node::verbatim(parts->encapsulated));
    if (parts->certificates)
        fields.push_back(Ber_node::verbatim(*parts->certificates));
    if (parts->crls)
        fields.push_back(Ber_node::verbatim(*parts->crls));
    fields.push_back(Ber_node::rebuilt(parts->signer_infos, std::move(new_signers)));
    std::vector<uint8_t> result = envelope_with(*parts, std::move(fields)).bytes();

    const Owner<CMS_ContentInfo> reread = read_cms(result);
    std::string broken;
    if (!reread || sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(reread.get())) != static_cast<int>(signers->size()) ||
        !every_signer_matches(reread.get(), digests, memo, broken) || (der && !is_der(reread.get(), result))) {
        failure = "La marca temporale altererebbe le firme della busta.";
        return std::nullopt;
    }
    return in_form(std::move(result), form);
}

} // namespace velin
