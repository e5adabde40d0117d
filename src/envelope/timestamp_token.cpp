#include "envelope/timestamp_token.h"

#include "common/openssl_encoding.h"
#include "common/owner.h"
#include "common/trace.h"
#include "envelope/base64_decode.h"
#include "envelope/signature_check.h"
#include "envelope/validation_data.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/sha.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace velin {

namespace {

// The DER of a SEQUENCE around content.
std::vector<uint8_t> der_sequence(std::span<const uint8_t> content)
{
    std::vector<uint8_t> der{0x30};
    if (content.size() < 0x80) {
        der.push_back(static_cast<uint8_t>(content.size()));
    } else {
        std::vector<uint8_t> length;
        for (size_t rest = content.size(); rest; rest >>= 8)
            length.insert(length.begin(), static_cast<uint8_t>(rest & 0xFF));
        der.push_back(static_cast<uint8_t>(0x80 | length.size()));
        der.insert(der.end(), length.begin(), length.end());
    }
    der.insert(der.end(), content.begin(), content.end());
    return der;
}

// The elements of a SEQUENCE given in DER; empty when it is no SEQUENCE.
Owner<ASN1_SEQUENCE_ANY> sequence_elements(std::span<const uint8_t> der)
{
    const unsigned char* in = der.data();
    return Owner<ASN1_SEQUENCE_ANY>(
        d2i_ASN1_SEQUENCE_ANY(nullptr, &in, static_cast<long>(std::min<size_t>(der.size(), LONG_MAX))));
}

std::span<const uint8_t> bytes_of(const ASN1_STRING* text)
{
    return {ASN1_STRING_get0_data(text), static_cast<size_t>(std::max(0, ASN1_STRING_length(text)))};
}

// A signing-certificate(-v2) attribute lists the signer's certificate first, and may go on with
// the certificates of its chain (RFC 5035). Each identifier is handed back as an attribute of its
// own, so that OpenSSL's check can be asked about one certificate at a time.
std::vector<std::vector<uint8_t>> identifiers_one_by_one(const ASN1_STRING* attribute)
{
    std::vector<std::vector<uint8_t>> each;
    const auto outer = sequence_elements(bytes_of(attribute));
    if (!outer || sk_ASN1_TYPE_num(outer.get()) < 1 || sk_ASN1_TYPE_value(outer.get(), 0)->type != V_ASN1_SEQUENCE)
        return each;
    const auto identifiers = sequence_elements(bytes_of(sk_ASN1_TYPE_value(outer.get(), 0)->value.sequence));
    for (int i = 0; identifiers && i < sk_ASN1_TYPE_num(identifiers.get()); ++i) {
        const ASN1_TYPE* identifier = sk_ASN1_TYPE_value(identifiers.get(), i);
        if (identifier->type != V_ASN1_SEQUENCE)
            return {};
        each.push_back(der_sequence(der_sequence(bytes_of(identifier->value.sequence))));
    }
    return each;
}

// The serial number an identifier's issuerSerial gives; null when it gives none.
Owner<ASN1_INTEGER> named_serial(std::span<const uint8_t> single)
{
    const auto outer = sequence_elements(single);
    if (!outer || sk_ASN1_TYPE_num(outer.get()) < 1)
        return nullptr;
    const auto list = sequence_elements(bytes_of(sk_ASN1_TYPE_value(outer.get(), 0)->value.sequence));
    if (!list || sk_ASN1_TYPE_num(list.get()) != 1)
        return nullptr;
    const auto fields = sequence_elements(bytes_of(sk_ASN1_TYPE_value(list.get(), 0)->value.sequence));
    const int count = fields ? sk_ASN1_TYPE_num(fields.get()) : 0;
    const ASN1_TYPE* last = count > 0 ? sk_ASN1_TYPE_value(fields.get(), count - 1) : nullptr;
    if (!last || last->type != V_ASN1_SEQUENCE || count < 2)
        return nullptr;
    const auto issuer_serial = sequence_elements(bytes_of(last->value.sequence));
    if (!issuer_serial || sk_ASN1_TYPE_num(issuer_serial.get()) != 2)
        return nullptr;
    const ASN1_TYPE* serial = sk_ASN1_TYPE_value(issuer_serial.get(), 1);
    return serial->type == V_ASN1_INTEGER ? Owner<ASN1_INTEGER>(ASN1_INTEGER_dup(serial->value.integer)) : nullptr;
}

// Whether one identifier (an attribute of one entry) names certificate.
bool names(std::span<const uint8_t> single, bool version_two, X509* certificate)
{
    const unsigned char* in = single.data();
    const long length = static_cast<long>(single.size());
    Owner<ESS_SIGNING_CERT> first;
    Owner<ESS_SIGNING_CERT_V2> second;
    if (version_two)
        second.reset(d2i_ESS_SIGNING_CERT_V2(nullptr, &in, length));
    else
        first.reset(d2i_ESS_SIGNING_CERT(nullptr, &in, length));
    const Owner<STACK_OF(X509), Release_stack_only> chain(sk_X509_new_null());
    const bool named = (first || second) && chain && sk_X509_push(chain.get(), certificate) &&
                       OSSL_ESS_check_signing_certs(first.get(), second.get(), chain.get(), 0) > 0;
    ERR_clear_error();
    return named;
}

// The first identifier must name the signer's certificate. A later one, of a certificate of the
// chain, must name the envelope's copy when the envelope carries a certificate of that serial
// number; the chain is built on its own, so one the envelope does not carry is not required.
bool attribute_binds(const ASN1_STRING* attribute, bool version_two, X509* certificate,
                     const STACK_OF(X509) * envelope_certificates)
{
    const std::vector<std::vector<uint8_t>> identifiers = identifiers_one_by_one(attribute);
    if (identifiers.empty() || !names(identifiers.front(), version_two, certificate))
        return false;
    for (size_t i = 1; i < identifiers.size(); ++i) {
        const Owner<ASN1_INTEGER> serial = named_serial(identifiers[i]);
        for (int n = 0; serial && n < sk_X509_num(envelope_certificates); ++n) {
            X509* carried = sk_X509_value(envelope_certificates, n);
            if (ASN1_INTEGER_cmp(serial.get(), X509_get0_serialNumber(carried)) == 0 &&
                !names(identifiers[i], version_two, carried))
                return false;
        }
    }
    return true;
}

} // namespace

// A token or a signature whose signer was swapped for another certificate with the same key does
// not pass.
bool signing_certificate_bound(CMS_SignerInfo* signer, X509* certificate, const STACK_OF(X509) * envelope_certificates)
{
    const auto attribute = [signer](int nid) {
        return static_cast<const ASN1_STRING*>(
            CMS_signed_get0_data_by_OBJ(signer, OBJ_nid2obj(nid), -3, V_ASN1_SEQUENCE));
    };
    const ASN1_STRING* v1 = attribute(NID_id_smime_aa_signingCertificate);
    const ASN1_STRING* v2 = attribute(NID_id_smime_aa_signingCertificateV2);
    const bool bound = (!v1 || attribute_binds(v1, false, certificate, envelope_certificates)) &&
                       (!v2 || attribute_binds(v2, true, certificate, envelope_certificates));
    ERR_clear_error();
    return bound;
}

bool names_signing_certificate(CMS_SignerInfo* signer)
{
    return CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificate, -1) >= 0 ||
           CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, -1) >= 0;
}

std::vector<uint8_t> binary_form(std::span<const uint8_t> bytes)
{
    if (!bytes.empty() && bytes[0] == 0x30)
        return {bytes.begin(), bytes.end()};
    std::string text(bytes.begin(), bytes.end());
    // PEM armour lines go; what is left must be base64.
    std::string body;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        if (line.rfind("-----", 0) != 0)
            body += line + "\n";
        at = end + 1;
    }
    Base64_decode decoder;
    if (!decoder.decode(body, Base64_decode::Form::Lenient))
        return {};
    return decoder.take_value();
}

namespace {

std::string common_name(X509* certificate)
{
    X509_NAME* subject = X509_get_subject_name(certificate);
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    const X509_NAME_ENTRY* entry = index >= 0 ? X509_NAME_get_entry(subject, index) : nullptr;
    if (entry) {
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
        const Owner<unsigned char, Openssl_free> owned(utf8);
        if (length >= 0)
            return std::string(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
    }
    char line[256];
    X509_NAME_oneline(subject, line, sizeof line);
    return line;
}

bool to_time(const ASN1_GENERALIZEDTIME* time, std::time_t& out, System_time& when)
{
    const std::optional<std::time_t> seconds = seconds_of(time);
    std::tm fields{};
    if (!seconds || !gmtime_r(&*seconds, &fields))
        return false;
    out = *seconds;
    when = system_time_of(fields);
    return true;
}

} // namespace

bool is_weak_digest(int nid)
{
    return nid == NID_md5 || nid == NID_sha1 || nid == NID_ripemd160 || nid == NID_md2 || nid == NID_md4;
}

Covered_digest digest_of_pieces(std::vector<std::span<const uint8_t>> pieces)
{
    return [pieces = std::move(pieces)](const EVP_MD* algorithm) -> std::vector<uint8_t> {
        Owner<EVP_MD_CTX> context(EVP_MD_CTX_new());
        std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
        unsigned int size = 0;
        if (!context || EVP_DigestInit_ex(context.get(), algorithm, nullptr) != 1)
            return {};
        for (const auto& piece : pieces)
            if (EVP_DigestUpdate(context.get(), piece.data(), piece.size()) != 1)
                return {};
        if (EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1)
            return {};
        digest.resize(size);
        return digest;
    };
}

Covered_digest digest_of_bytes(Document_bytes bytes)
{
    // Read a slice at a time: the bytes may be a range of a file or decoded again from text.
    return [bytes = std::move(bytes)](const EVP_MD* algorithm) -> std::vector<uint8_t> {
        return Document_digests(bytes, std::map<int, std::vector<uint8_t>>{}).of(algorithm);
    };
}

std::optional<std::vector<uint8_t>> timestamp_token_of(std::span<const uint8_t> token_or_reply, std::string& problem)
{
    const std::vector<uint8_t> bytes = binary_form(token_or_reply);
    if (bytes.empty()) {
        problem = "La marca temporale non è leggibile.";
        return std::nullopt;
    }
    const long length = static_cast<long>(std::min<size_t>(bytes.size(), LONG_MAX));
    const unsigned char* in = bytes.data();
    Owner<TS_RESP> reply(d2i_TS_RESP(nullptr, &in, length));
    ERR_clear_error();
    if (!reply)
        return bytes; // a bare token; the CMS reader decides
    const long status = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(reply.get())));
    PKCS7* token = TS_RESP_get_token(reply.get());
    // 0 granted, 1 granted with modifications.
    if (status != 0 && status != 1) {
        problem = Text_timestamp_refused;
        return std::nullopt;
    }
    if (!token) {
        problem = "La risposta del servizio di marcatura temporale non contiene una marca.";
        return std::nullopt;
    }
    unsigned char* raw = nullptr;
    const int size = i2d_PKCS7(token, &raw);
    const Owner<unsigned char, Openssl_free> der(raw);
    if (size <= 0) {
        ERR_clear_error();
        problem = "La marca temporale non è leggibile.";
        return std::nullopt;
    }
    return std::vector<uint8_t>(der.get(), der.get() + size);
}

Timestamp_info check_timestamp(std::span<const uint8_t> token_or_reply, const Covered_digest& covered)
{
    Timestamp_info info;
    ERR_clear_error();
    const auto token = timestamp_token_of(token_or_reply, info.problem);
    if (!token) {
        info.refused = info.problem == Text_timestamp_refused;
        return info;
    }
    info.token_sha256.resize(SHA256_DIGEST_LENGTH);
    if (!SHA256(token->data(), token->size(), info.token_sha256.data()))
        info.token_sha256.clear();
    const unsigned char* in = token->data();
    Owner<CMS_ContentInfo> cms(
        d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(std::min<size_t>(token->size(), LONG_MAX))));
    ERR_clear_error();
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
        OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_id_smime_ct_TSTInfo) {
        info.problem = "La marca temporale non è leggibile.";
        return info;
    }
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (!content || !*content || sk_CMS_SignerInfo_num(signers) != 1) {
        info.problem = "La marca temporale non ha un solo firmatario.";
        return info;
    }
    const std::span<const uint8_t> tst(ASN1_STRING_get0_data(*content),
                                       static_cast<size_t>(std::max(0, ASN1_STRING_length(*content))));
    const unsigned char* tst_in = tst.data();
    Owner<TS_TST_INFO> tst_info(d2i_TS_TST_INFO(nullptr, &tst_in, static_cast<long>(tst.size())));
    ERR_clear_error();
    if (!tst_info || !to_time(TS_TST_INFO_get_time(tst_info.get()), info.time, info.when)) {
        info.problem = "Il contenuto della marca temporale non è leggibile.";
        return info;
    }
    info.read = true;

    // The token's signature, with the certificate it carries.
    pair_signers_with_certificates(cms.get());
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);
    X509* certificate = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, &certificate, nullptr, nullptr);
    info.carried_certificates = carried_authorities(cms.get());
    if (certificate) {
        info.certificate = Signer_certificate::from_x509(certificate);
        info.authority = common_name(certificate);
        Document_digests digests(tst);
        std::string reason;
        info.signature_valid =
            check_signer(signer, CMS_get0_eContentType(cms.get()), digests, reason) == Signer_check::Matches;
        const Owner<STACK_OF(X509)> carried(CMS_get1_certs(cms.get()));
        if (info.signature_valid && !signing_certificate_bound(signer, certificate, carried.get())) {
            info.signature_valid = false;
            reason = "Il certificato della marca temporale non è quello indicato dalla marca.";
        }
        if (!info.signature_valid)
            info.problem = reason.empty() ? "La firma della marca temporale non corrisponde." : reason;
        info.certificate_named = names_signing_certificate(signer);
        if (!info.certificate_named && info.problem.empty())
            info.problem = Text_timestamp_certificate_not_named;
        const uint32_t flags = X509_get_extension_flags(certificate);
        info.time_stamping_usage =
            (flags & EXFLAG_XKUSAGE) && (X509_get_extended_key_usage(certificate) & XKU_TIMESTAMP);
        std::time_t at = info.time;
        info.certificate_current = X509_cmp_time(X509_get0_notBefore(certificate), &at) <= 0 &&
                                   X509_cmp_time(X509_get0_notAfter(certificate), &at) >= 0;
    } else {
        info.problem = "Il certificato dell'autorità di marcatura temporale non è nella marca.";
        if (const GENERAL_NAME* name = TS_TST_INFO_get_tsa(tst_info.get()); name && name->type == GEN_DIRNAME) {
            char line[256];
            X509_NAME_oneline(name->d.directoryName, line, sizeof line);
            info.authority = line;
        }
    }
    ERR_clear_error();

    // The imprint over the bytes the time stamp is said to cover.
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(tst_info.get());
    const ASN1_OBJECT* algorithm_object = nullptr;
    X509_ALGOR_get0(&algorithm_object, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(imprint));
    const EVP_MD* algorithm = algorithm_object ? EVP_get_digestbyobj(algorithm_object) : nullptr;
    const ASN1_OCTET_STRING* stated = TS_MSG_IMPRINT_get_msg(imprint);
    if (algorithm && stated && covered) {
        info.weak_imprint = is_weak_digest(EVP_MD_get_type(algorithm));
        const std::vector<uint8_t> digest = covered(algorithm);
        info.imprint_matches = !digest.empty() && static_cast<int>(digest.size()) == ASN1_STRING_length(stated) &&
                               std::memcmp(digest.data(), ASN1_STRING_get0_data(stated), digest.size()) == 0;
    }
    if (!info.imprint_matches && info.problem.empty())
        info.problem = "L'impronta della marca temporale non corrisponde.";
    Trace(Trace_kind, info.verified() ? Level_info : Level_error)
        << "Marca temporale di " << info.authority << ": firma " << info.signature_valid << ", certificato indicato "
        << info.certificate_named << ", impronta " << info.imprint_matches << ", uso " << info.time_stamping_usage
        << ", date " << info.certificate_current;
    return info;
}

std::vector<std::vector<uint8_t>> timestamp_tokens_of(CMS_SignerInfo* signer, bool unsigned_attribute)
{
    std::vector<std::vector<uint8_t>> tokens;
    const int nid = unsigned_attribute ? NID_id_smime_aa_timeStampToken : NID_id_smime_aa_ets_contentTimestamp;
    auto next = [&](int last) {
        return unsigned_attribute ? CMS_unsigned_get_attr_by_NID(signer, nid, last)
                                  : CMS_signed_get_attr_by_NID(signer, nid, last);
    };
    for (int at = next(-1); at >= 0; at = next(at)) {
        X509_ATTRIBUTE* attribute =
            unsigned_attribute ? CMS_unsigned_get_attr(signer, at) : CMS_signed_get_attr(signer, at);
        for (int value = 0; attribute && value < X509_ATTRIBUTE_count(attribute); ++value) {
            const ASN1_TYPE* token = X509_ATTRIBUTE_get0_type(attribute, value);
            if (!token || token->type != V_ASN1_SEQUENCE || !token->value.sequence)
                continue;
            const ASN1_STRING* encoded = token->value.sequence;
            const unsigned char* data = ASN1_STRING_get0_data(encoded);
            tokens.emplace_back(data, data + std::max(0, ASN1_STRING_length(encoded)));
        }
    }
    return tokens;
}

} // namespace velin
