#include "envelope/signature_check.h"

#include "common/owner.h"
#include "common/trace.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

namespace velin {

namespace {

std::string bytes_of(const ASN1_STRING* text)
{
    return {reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
            static_cast<size_t>(std::max(0, ASN1_STRING_length(text)))};
}

// Occurrences of a signed attribute, and whether each of them holds exactly one value.
struct Attribute_count {
    int occurrences = 0;
    bool single_values = true;
};

Attribute_count count_signed_attribute(const CMS_SignerInfo* signer, int nid)
{
    Attribute_count count;
    for (int at = CMS_signed_get_attr_by_NID(signer, nid, -1); at >= 0;
         at = CMS_signed_get_attr_by_NID(signer, nid, at)) {
        ++count.occurrences;
        if (X509_ATTRIBUTE_count(CMS_signed_get_attr(signer, at)) != 1)
            count.single_values = false;
    }
    return count;
}

// The signed attributes bind the signature to this envelope only when the content type and the
// document's digest are each stated exactly once and the content type is the envelope's own: a
// signature made over other content must not be taken for a signature of this document.
bool signed_attributes_well_formed(const CMS_SignerInfo* signer, const ASN1_OBJECT* content_type)
{
    const Attribute_count types = count_signed_attribute(signer, NID_pkcs9_contentType);
    const Attribute_count digests = count_signed_attribute(signer, NID_pkcs9_messageDigest);
    const Attribute_count times = count_signed_attribute(signer, NID_pkcs9_signingTime);
    if (types.occurrences != 1 || !types.single_values || digests.occurrences != 1 || !digests.single_values ||
        times.occurrences > 1 || !times.single_values) {
        Trace(Trace_kind, Level_error) << "Gli attributi firmati non sono ben formati.";
        return false;
    }
    const auto* stated = static_cast<const ASN1_OBJECT*>(
        CMS_signed_get0_data_by_OBJ(signer, OBJ_nid2obj(NID_pkcs9_contentType), -3, V_ASN1_OBJECT));
    if (!stated || !content_type || OBJ_cmp(stated, content_type) != 0) {
        Trace(Trace_kind, Level_error) << "Il tipo di contenuto firmato non è quello della busta.";
        return false;
    }
    return true;
}

} // namespace

Certificate_pairing::Certificate_pairing(CMS_ContentInfo* cms) : _certificates(CMS_get1_certs(cms))
{
    for (int i = 0; i < sk_X509_num(_certificates.get()); ++i) {
        X509* certificate = sk_X509_value(_certificates.get(), i);
        int ok = 0;
        // The hash is taken over the canonical form of the name, which is what the comparison uses.
        const unsigned long issuer = X509_NAME_hash_ex(X509_get_issuer_name(certificate), nullptr, nullptr, &ok);
        if (ok)
            _by_issuer_and_serial.emplace(std::make_pair(issuer, bytes_of(X509_get0_serialNumber(certificate))),
                                          certificate);
        if (const ASN1_OCTET_STRING* key_identifier = X509_get0_subject_key_id(certificate))
            _by_key_identifier.emplace(bytes_of(key_identifier), certificate);
    }
}

void Certificate_pairing::pair(CMS_SignerInfo* signer) const
{
    ASN1_OCTET_STRING* key_identifier = nullptr;
    X509_NAME* issuer = nullptr;
    ASN1_INTEGER* serial = nullptr;
    if (CMS_SignerInfo_get0_signer_id(signer, &key_identifier, &issuer, &serial) != 1)
        return;
    auto try_candidates = [signer](auto range) {
        for (auto it = range.first; it != range.second; ++it)
            if (CMS_SignerInfo_cert_cmp(signer, it->second) == 0) {
                CMS_SignerInfo_set1_signer_cert(signer, it->second);
                return;
            }
    };
    if (key_identifier) {
        try_candidates(_by_key_identifier.equal_range(bytes_of(key_identifier)));
    } else if (issuer && serial) {
        int ok = 0;
        const unsigned long hash = X509_NAME_hash_ex(issuer, nullptr, nullptr, &ok);
        if (ok)
            try_candidates(_by_issuer_and_serial.equal_range(std::make_pair(hash, bytes_of(serial))));
    }
}

void pair_signers_with_certificates(CMS_ContentInfo* cms)
{
    const Certificate_pairing pairing(cms);
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
    for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i)
        pairing.pair(sk_CMS_SignerInfo_value(signers, i));
}

const std::vector<uint8_t>& Document_digests::of(const EVP_MD* algorithm)
{
    const int type = EVP_MD_get_type(algorithm);
    auto found = _digests.find(type);
    if (found != _digests.end())
        return found->second;
    constexpr size_t Slice = 16 * 1024 * 1024;
    std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    const Owner<EVP_MD_CTX> context(EVP_MD_CTX_new());
    bool hashed = context && EVP_DigestInit_ex(context.get(), algorithm, nullptr) == 1;
    const auto update = [&](std::span<const uint8_t> slice) {
        hashed = hashed && !(_cancel && *_cancel) && EVP_DigestUpdate(context.get(), slice.data(), slice.size()) == 1;
        return hashed;
    };
    if (_bytes)
        hashed = hashed && _bytes->read_slices(update);
    for (size_t at = 0; hashed && at < _document.size(); at += Slice)
        update(_document.subspan(at, std::min(Slice, _document.size() - at)));
    if (hashed && EVP_DigestFinal_ex(context.get(), digest.data(), &size) == 1)
        digest.resize(size);
    else
        digest.clear();
    // A cancelled pass is not kept: it would stand for the document's digest.
    if (_cancel && *_cancel)
        return _digests.emplace(-1, std::vector<uint8_t>{}).first->second;
    return _digests.emplace(type, std::move(digest)).first->second;
}

std::map<int, std::vector<uint8_t>> Document_digests::known() const
{
    std::map<int, std::vector<uint8_t>> made;
    for (const auto& [type, digest] : _digests)
        if (type > 0 && !digest.empty())
            made.emplace(type, digest);
    return made;
}

std::string Signature_memo::key_of(CMS_SignerInfo* signer, EVP_PKEY* key)
{
    // The key object itself (signers paired with one certificate share it), then every input of
    // the signature's verification, each as encoded.
    std::string input(reinterpret_cast<const char*>(&key), sizeof key);
    // encode writes its output to the pointer it is given and returns the length; the pointer is
    // read only after it returned.
    const auto add = [&input](auto encode) {
        unsigned char* encoded = nullptr;
        const int length = encode(&encoded);
        const Owner<unsigned char, Openssl_free> owned(encoded);
        if (length <= 0 || !encoded)
            return false;
        const auto size = static_cast<uint32_t>(length);
        input.append(reinterpret_cast<const char*>(&size), sizeof size);
        input.append(reinterpret_cast<const char*>(encoded), static_cast<size_t>(length));
        return true;
    };
    X509_ALGOR* digest_algorithm = nullptr;
    X509_ALGOR* signature_algorithm = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digest_algorithm, &signature_algorithm);
    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(signer);
    if (!digest_algorithm || !signature_algorithm || !value ||
        !add([&](unsigned char** out) { return i2d_X509_ALGOR(digest_algorithm, out); }) ||
        !add([&](unsigned char** out) { return i2d_X509_ALGOR(signature_algorithm, out); }) ||
        !add([&](unsigned char** out) { return i2d_ASN1_OCTET_STRING(value, out); }))
        return {};
    const int count = CMS_signed_get_attr_count(signer);
    for (int i = 0; i < count; ++i)
        if (!add([&](unsigned char** out) { return i2d_X509_ATTRIBUTE(CMS_signed_get_attr(signer, i), out); }))
            return {};
    std::string digest(SHA256_DIGEST_LENGTH, '\0');
    SHA256(reinterpret_cast<const unsigned char*>(input.data()), input.size(),
           reinterpret_cast<unsigned char*>(digest.data()));
    return digest;
}

std::string Signature_memo::key_of(std::span<const uint8_t> encoded_signer, EVP_PKEY* key)
{
    if (encoded_signer.empty())
        return {};
    std::string digest(SHA256_DIGEST_LENGTH + sizeof key, '\0');
    std::memcpy(digest.data(), &key, sizeof key);
    SHA256(encoded_signer.data(), encoded_signer.size(), reinterpret_cast<unsigned char*>(digest.data() + sizeof key));
    return digest;
}

const int* Signature_memo::find(const std::string& key) const
{
    const auto found = _outcomes.find(key);
    return key.empty() || found == _outcomes.end() ? nullptr : &found->second;
}

void Signature_memo::keep(const std::string& key, int outcome)
{
    if (!key.empty())
        _outcomes.emplace(key, outcome);
}

Signer_check check_signer(CMS_SignerInfo* signer, const ASN1_OBJECT* content_type, Document_digests& digests,
                          std::string& reason, Signature_memo* memo, std::span<const uint8_t> encoded)
{
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    X509_ALGOR* digest_algorithm = nullptr;
    CMS_SignerInfo_get0_algs(signer, &key, &certificate, &digest_algorithm, nullptr);
    if (!certificate) {
        reason = "Il certificato del firmatario non è nella busta.";
        return Signer_check::Not_checkable;
    }
    if (!key) {
        reason = "La chiave pubblica del certificato del firmatario non è leggibile.";
        return Signer_check::Not_checkable;
    }
    const ASN1_OBJECT* algorithm_object = nullptr;
    X509_ALGOR_get0(&algorithm_object, nullptr, nullptr, digest_algorithm);
    const EVP_MD* algorithm = algorithm_object ? EVP_get_digestbyobj(algorithm_object) : nullptr;
    const std::vector<uint8_t>& digest = algorithm ? digests.of(algorithm) : std::vector<uint8_t>{};
    if (digest.empty()) {
        reason = "Algoritmo di hash non supportato.";
        return Signer_check::Not_checkable;
    }

    if (CMS_signed_get_attr_count(signer) >= 0) {
        // The key signs the signed attributes, and they carry the document's digest.
        if (!signed_attributes_well_formed(signer, content_type))
            return Signer_check::Does_not_match;
        const std::string memo_key = !memo              ? std::string()
                                     : !encoded.empty() ? Signature_memo::key_of(encoded, key)
                                                        : Signature_memo::key_of(signer, key);
        const int* known = memo ? memo->find(memo_key) : nullptr;
        const int signature = known ? *known : CMS_SignerInfo_verify(signer);
        // A failed check (an error, not a mismatch) is not kept: its reason is on the error queue.
        if (memo && !known && signature >= 0)
            memo->keep(memo_key, signature);
        if (signature != 1)
            return signature < 0 ? Signer_check::Not_checkable : Signer_check::Does_not_match;
        const auto* stated = static_cast<const ASN1_OCTET_STRING*>(
            CMS_signed_get0_data_by_OBJ(signer, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
        if (!stated)
            return Signer_check::Does_not_match;
        const std::string stated_digest = bytes_of(stated);
        const bool same = stated_digest.size() == digest.size() &&
                          std::memcmp(stated_digest.data(), digest.data(), digest.size()) == 0;
        return same ? Signer_check::Matches : Signer_check::Does_not_match;
    }

    // Without signed attributes the key signs the document's digest itself.
    ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(signer);
    const Owner<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new(key, nullptr));
    if (!context || EVP_PKEY_verify_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), algorithm) != 1)
        return Signer_check::Not_checkable;
    const int verified =
        EVP_PKEY_verify(context.get(), ASN1_STRING_get0_data(signature),
                        static_cast<size_t>(std::max(0, ASN1_STRING_length(signature))), digest.data(), digest.size());
    if (verified == 1)
        return Signer_check::Matches;
    return verified == 0 ? Signer_check::Does_not_match : Signer_check::Not_checkable;
}

} // namespace velin
