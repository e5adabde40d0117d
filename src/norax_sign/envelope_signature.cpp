#include "norax_sign/envelope_signature.h"

#include "common/openssl_error.h"
#include "common/owner.h"
#include "norax_sign/ber_tree.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/ess.h>

#include <algorithm>
#include <climits>
#include <functional>

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

// The container rebuilt with its children as they are and `added` after them, unless a child
// already stands for it; empty when the container's children cannot be read (nothing of the
// envelope may be lost on the way).
std::optional<Ber_node> with_child_added(std::span<const uint8_t> container, std::span<const uint8_t> added,
                                         const std::function<bool(std::span<const uint8_t>)>& stands_for_added)
{
    const auto present = ber_children(container);
    if (!present)
        return std::nullopt;
    std::vector<Ber_node> children;
    bool there = false;
    for (const auto child : *present) {
        there = there || stands_for_added(child);
        children.push_back(Ber_node::verbatim(child));
    }
    if (!there)
        children.push_back(Ber_node::verbatim(added));
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

// 1, 0 or -1 for each signer's signature over its signed attributes (which is what a change of
// encoding would break); 1 for a signer without signed attributes, whose signature covers only
// the content.
std::vector<int> attribute_signature_checks(CMS_ContentInfo* cms)
{
    std::vector<int> checks;
    // Each signer is paired with its certificate in the envelope, whose key checks it.
    CMS_set1_signers_certs(cms, nullptr, 0);
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
    for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i) {
        CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, i);
        checks.push_back(CMS_signed_get_attr_count(signer) < 0 ? 1 : CMS_SignerInfo_verify(signer));
    }
    ERR_clear_error();
    return checks;
}

Owner<CMS_ContentInfo> read_cms(std::span<const uint8_t> bytes)
{
    if (bytes.size() > static_cast<size_t>(LONG_MAX))
        return nullptr;
    const unsigned char* in = bytes.data();
    return Owner<CMS_ContentInfo>(d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(bytes.size())));
}

} // namespace

std::optional<std::vector<uint8_t>> detached_signature(BIO* content, const ASN1_OBJECT* content_type,
                                                       const Signing_identity& identity,
                                                       std::chrono::system_clock::time_point signing_time,
                                                       std::string& failure)
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

    // The time of the signature as UTC, from the clock the caller read.
    const Owner<ASN1_TIME> time(ASN1_TIME_set(nullptr, std::chrono::system_clock::to_time_t(signing_time)));
    // The certificate the signer meant, bound into the signature (CAdES-BES).
    const Owner<ESS_SIGNING_CERT_V2> essential(
        OSSL_ESS_signing_cert_v2_new_init(EVP_sha256(), identity.certificate, nullptr, 1));
    unsigned char* encoded = nullptr;
    const int encoded_size = essential ? i2d_ESS_SIGNING_CERT_V2(essential.get(), &encoded) : -1;
    const Owner<unsigned char, Openssl_free> owned(encoded);
    if (!time || encoded_size <= 0 ||
        !add_signed_attribute(signer, NID_pkcs9_signingTime, ASN1_STRING_type(time.get()), time.get(), -1) ||
        !add_signed_attribute(signer, NID_id_smime_aa_signingCertificateV2, V_ASN1_SEQUENCE, encoded, encoded_size)) {
        failure = "Errore durante la codifica degli attributi firmati: " + openssl_error_text();
        return std::nullopt;
    }

    // The content is streamed through the digest: a document of any size is read once.
    if (CMS_final(cms.get(), content, nullptr, CMS_DETACHED | CMS_BINARY) != 1) {
        failure = "Errore durante la firma: " + openssl_error_text();
        return std::nullopt;
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
                                            std::chrono::system_clock::time_point signing_time, std::string& failure)
{
    const auto detached = detached_signature(content, nullptr, identity, signing_time, failure);
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

std::optional<std::vector<uint8_t>> add_parallel_signer(std::span<const uint8_t> envelope,
                                                        const Signing_identity& identity,
                                                        std::chrono::system_clock::time_point signing_time,
                                                        std::string& failure, Parallel_stage* stage)
{
    Parallel_stage ignored;
    Parallel_stage& reached = stage ? *stage : ignored;
    reached = Parallel_stage::Reading;
    ERR_clear_error();
    const Owner<CMS_ContentInfo> existing = read_cms(envelope);
    const auto parts = signed_data_parts(envelope);
    if (!existing || !parts || OBJ_obj2nid(CMS_get0_type(existing.get())) != NID_pkcs7_signed) {
        failure = "Il file non è una busta PKCS#7 firmata.";
        return std::nullopt;
    }
    ASN1_OCTET_STRING** content = CMS_get0_content(existing.get());
    if (!content || !*content) {
        failure = "La busta non contiene il documento firmato.";
        return std::nullopt;
    }

    // The new signer signs the same content under the same content type.
    reached = Parallel_stage::Signing;
    const Owner<BIO> content_bio(BIO_new_mem_buf(ASN1_STRING_get0_data(*content), ASN1_STRING_length(*content)));
    const auto detached = content_bio ? detached_signature(content_bio.get(), CMS_get0_eContentType(existing.get()),
                                                           identity, signing_time, failure)
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
    // carries it already (a second signature by the same holder), and the new signer last.
    const auto algorithms = with_child_added(parts->digest_algorithms, new_algorithm, [&](auto algorithm) {
        const auto oid = algorithm_oid(algorithm);
        return oid && new_oid && equal_bytes(*oid, *new_oid);
    });
    const auto certificates =
        parts->certificates
            ? with_child_added(*parts->certificates, new_certificate,
                               [&](auto certificate) { return equal_bytes(certificate, new_certificate); })
            : Ber_node::verbatim(*added->certificates);
    const auto signers = with_child_added(parts->signer_infos, added_signers->front(), never);
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

    // The earlier signatures must read back exactly as they did: one that verified before and does
    // not now means the change broke it, and nothing is handed back.
    const Owner<CMS_ContentInfo> reread = read_cms(result);
    const std::vector<int> before = attribute_signature_checks(existing.get());
    std::vector<int> after = reread ? attribute_signature_checks(reread.get()) : std::vector<int>{};
    if (after.size() != before.size() + 1 || after.back() != 1 ||
        !std::equal(before.begin(), before.end(), after.begin())) {
        failure = "La firma parallela altererebbe le firme già presenti nella busta.";
        return std::nullopt;
    }
    return result;
}

} // namespace velin
