#include "envelope/cades_archive.h"

#include "common/owner.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <climits>
#include <map>
#include <memory>
#include <set>

namespace velin {

namespace {

// The identifiers as DER (tag and length included); id_aa(N) is the S/MIME attribute
// 1.2.840.113549.1.9.16.2.N.
constexpr std::array<uint8_t, 13> id_aa(uint8_t arc)
{
    return {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x02, arc};
}

constexpr auto Oid_signature_timestamp = id_aa(0x0E);
constexpr auto Oid_archive_v2 = id_aa(0x30);
constexpr auto Oid_esc_timestamp = id_aa(0x19);
constexpr auto Oid_cert_crl_timestamp = id_aa(0x1A);
constexpr auto Oid_certificate_refs = id_aa(0x15);
constexpr auto Oid_revocation_refs = id_aa(0x16);
constexpr auto Oid_certificate_values = id_aa(0x17);
constexpr auto Oid_revocation_values = id_aa(0x18);
constexpr std::array<uint8_t, 8> Oid_archive_v3 = {0x06, 0x06, 0x04, 0x00, 0x8D, 0x45, 0x02, 0x04};
// ats-hash-index-v3 (0.4.0.19122.1.5), and the indexes of earlier writers with the same layout:
// ats-hash-index-v2 (0.4.0.19122.1.4) and ats-hash-index (0.4.0.1733.2.5).
constexpr std::array<uint8_t, 9> Oid_hash_index_v3 = {0x06, 0x07, 0x04, 0x00, 0x81, 0x95, 0x32, 0x01, 0x05};
constexpr std::array<uint8_t, 9> Oid_hash_index_v2 = {0x06, 0x07, 0x04, 0x00, 0x81, 0x95, 0x32, 0x01, 0x04};
constexpr std::array<uint8_t, 8> Oid_hash_index_v1 = {0x06, 0x06, 0x04, 0x00, 0x8D, 0x45, 0x02, 0x05};
constexpr std::array<uint8_t, 11> Oid_signed_data = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

template <size_t N>
bool is(std::span<const uint8_t> bytes, const std::array<uint8_t, N>& oid)
{
    return bytes.size() == N && std::equal(oid.begin(), oid.end(), bytes.begin());
}

template <size_t N>
bool contains(std::span<const uint8_t> bytes, const std::array<uint8_t, N>& oid)
{
    return std::search(bytes.begin(), bytes.end(), oid.begin(), oid.end()) != bytes.end();
}

constexpr uint8_t Tag_sequence = 0x30;
constexpr uint8_t Tag_set = 0x31;
constexpr uint8_t Tag_octet_string = 0x04;
constexpr uint8_t Tag_oid = 0x06;

// The span from the start of first to the end of last (both inside the same bytes).
std::span<const uint8_t> joined(std::span<const uint8_t> first, std::span<const uint8_t> last)
{
    return {first.data(), static_cast<size_t>(last.data() + last.size() - first.data())};
}

std::vector<uint8_t> der_header(uint8_t tag, size_t size)
{
    std::vector<uint8_t> header{tag};
    if (size < 0x80) {
        header.push_back(static_cast<uint8_t>(size));
        return header;
    }
    std::vector<uint8_t> length;
    for (size_t rest = size; rest; rest >>= 8)
        length.insert(length.begin(), static_cast<uint8_t>(rest & 0xFF));
    header.push_back(static_cast<uint8_t>(0x80 | length.size()));
    header.insert(header.end(), length.begin(), length.end());
    return header;
}

void append(std::vector<uint8_t>& to, std::span<const uint8_t> bytes)
{
    to.insert(to.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> digest_of(const EVP_MD* algorithm, std::span<const uint8_t> first,
                               std::span<const uint8_t> second = {})
{
    const Owner<EVP_MD_CTX> context(EVP_MD_CTX_new());
    std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (!context || EVP_DigestInit_ex(context.get(), algorithm, nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), first.data(), first.size()) != 1 ||
        EVP_DigestUpdate(context.get(), second.data(), second.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1)
        return {};
    digest.resize(size);
    return digest;
}

std::optional<std::vector<std::span<const uint8_t>>> wholes_of(std::span<const uint8_t> contents)
{
    const auto items = read_der_items(contents, Cades_item_limit);
    if (!items)
        return std::nullopt;
    std::vector<std::span<const uint8_t>> wholes;
    wholes.reserve(items->size());
    for (const Der_item& item : *items)
        wholes.push_back(item.whole);
    return wholes;
}

std::optional<Cades_attribute> read_attribute(const Der_item& item)
{
    if (item.tag != Tag_sequence)
        return std::nullopt;
    const auto fields = read_der_items(item.contents, 2);
    if (!fields || fields->size() != 2 || (*fields)[0].tag != Tag_oid || (*fields)[1].tag != Tag_set)
        return std::nullopt;
    const auto values = wholes_of((*fields)[1].contents);
    if (!values)
        return std::nullopt;
    return Cades_attribute{item.whole, (*fields)[0].whole, *values};
}

// version, sid, digestAlgorithm, [0] signedAttrs, signatureAlgorithm, signature, [1] unsignedAttrs.
std::optional<Cades_signer_parts> read_signer(const Der_item& signer)
{
    if (signer.tag != Tag_sequence)
        return std::nullopt;
    const auto fields = read_der_items(signer.contents, 7);
    if (!fields || fields->size() < 5)
        return std::nullopt;
    const bool has_signed = (*fields)[3].tag == 0xA0;
    const size_t signature_at = has_signed ? 5 : 4;
    if (fields->size() <= signature_at || (*fields)[signature_at].tag != Tag_octet_string)
        return std::nullopt;
    Cades_signer_parts parts;
    parts.fields = joined((*fields)[0].whole, (*fields)[signature_at].whole);
    parts.signature_value = (*fields)[signature_at].contents;
    if (fields->size() == signature_at + 1)
        return parts;
    if (fields->size() != signature_at + 2 || (*fields)[signature_at + 1].tag != 0xA1)
        return std::nullopt;
    const auto attributes = read_der_items((*fields)[signature_at + 1].contents, Cades_item_limit);
    if (!attributes)
        return std::nullopt;
    for (const Der_item& item : *attributes) {
        auto attribute = read_attribute(item);
        if (!attribute)
            return std::nullopt;
        parts.unsigned_attributes.push_back(std::move(*attribute));
    }
    return parts;
}

// The hashes an index may give one value of a signer's unsigned attribute: attrType followed by
// the value (ats-hash-index-v3), by the value as a SET of its own, or the whole attribute (the
// earlier indexes). Each is of bytes the envelope holds, so a match by any names what is there.
std::vector<std::vector<uint8_t>> attribute_value_hashes(const EVP_MD* algorithm, const Cades_attribute& attribute,
                                                         size_t value)
{
    std::vector<uint8_t> set = der_header(Tag_set, attribute.values[value].size());
    append(set, attribute.values[value]);
    return {digest_of(algorithm, attribute.type, attribute.values[value]), digest_of(algorithm, attribute.type, set),
            digest_of(algorithm, attribute.whole)};
}

// The ats-hash-index-v3 value in the unsigned attributes of a token's signer; nothing when it has
// none (or the token is not a SignedData of one signer).
std::optional<std::span<const uint8_t>> index_of_token(const Cades_signed_data_parts* token)
{
    if (!token || token->signers.size() != 1)
        return std::nullopt;
    for (const Cades_attribute& attribute : token->signers.front().unsigned_attributes)
        if ((is(attribute.type, Oid_hash_index_v3) || is(attribute.type, Oid_hash_index_v2) ||
             is(attribute.type, Oid_hash_index_v1)) &&
            attribute.values.size() == 1)
            return attribute.values.front();
    return std::nullopt;
}

void add_error(Archive_timestamp_input& input, const char* text)
{
    if (std::find(input.coverage_errors.begin(), input.coverage_errors.end(), text) == input.coverage_errors.end())
        input.coverage_errors.emplace_back(text);
}

// Every hash of the index must name what the envelope holds now.
void check_index(const Ats_hash_index& index, const Cades_signed_data_parts& parts, const Cades_signer_parts& signer,
                 Archive_timestamp_input& input)
{
    const auto hashes = [&index](const std::vector<std::span<const uint8_t>>& items) {
        std::set<std::vector<uint8_t>> made;
        for (const auto& item : items)
            made.insert(digest_of(index.algorithm, item));
        return made;
    };
    auto known = parts.hashes.find(EVP_MD_get_type(index.algorithm));
    if (known == parts.hashes.end())
        known =
            parts.hashes
                .emplace(EVP_MD_get_type(index.algorithm), std::pair(hashes(parts.certificates), hashes(parts.crls)))
                .first;
    const auto& [certificates, crls] = known->second;
    for (const auto& hash : index.certificates)
        if (!certificates.count(hash))
            add_error(input, Text_archive_certificate_missing);
    for (const auto& hash : index.crls)
        if (!crls.count(hash))
            add_error(input, Text_archive_crl_missing);
    std::set<std::vector<uint8_t>> values;
    for (const Cades_attribute& attribute : signer.unsigned_attributes)
        for (size_t value = 0; value < attribute.values.size(); ++value)
            for (auto& hash : attribute_value_hashes(index.algorithm, attribute, value))
                values.insert(std::move(hash));
    for (const auto& hash : index.attribute_values)
        if (!values.count(hash))
            add_error(input, Text_archive_attribute_missing);
}

// The time stamps among the attributes before position whose values the index lists.
void covered_by_index(const Ats_hash_index& index, const Cades_signer_parts& signer, size_t position,
                      Archive_timestamp_input& input)
{
    const std::set<std::vector<uint8_t>> listed_values(index.attribute_values.begin(), index.attribute_values.end());
    size_t signature_ordinal = 0;
    size_t archive_ordinal = 0;
    for (size_t at = 0; at < position; ++at) {
        const Cades_attribute& attribute = signer.unsigned_attributes[at];
        const bool signature = is(attribute.type, Oid_signature_timestamp);
        const bool archive = is(attribute.type, Oid_archive_v2) || is(attribute.type, Oid_archive_v3) ||
                             is(attribute.type, Oid_esc_timestamp) || is(attribute.type, Oid_cert_crl_timestamp);
        for (size_t value = 0; value < attribute.values.size(); ++value) {
            bool covered = false;
            if (signature || archive)
                for (const auto& hash : attribute_value_hashes(index.algorithm, attribute, value))
                    covered = covered || listed_values.count(hash) > 0;
            if (signature && covered)
                input.covered_signature_timestamps.push_back(signature_ordinal);
            if (archive && covered)
                input.covered_archive_timestamps.push_back(archive_ordinal);
            signature_ordinal += signature ? 1 : 0;
            archive_ordinal += archive ? 1 : 0;
        }
    }
}

// Every time stamp among the attributes before position.
void covered_before(const Cades_signer_parts& signer, size_t position, Archive_timestamp_input& input)
{
    size_t signature_ordinal = 0;
    size_t archive_ordinal = 0;
    for (size_t at = 0; at < position; ++at) {
        const Cades_attribute& attribute = signer.unsigned_attributes[at];
        const bool signature = is(attribute.type, Oid_signature_timestamp);
        const bool archive = is(attribute.type, Oid_archive_v2) || is(attribute.type, Oid_archive_v3) ||
                             is(attribute.type, Oid_esc_timestamp) || is(attribute.type, Oid_cert_crl_timestamp);
        for (size_t value = 0; value < attribute.values.size(); ++value) {
            if (signature)
                input.covered_signature_timestamps.push_back(signature_ordinal++);
            if (archive)
                input.covered_archive_timestamps.push_back(archive_ordinal++);
        }
    }
}

Archive_timestamp_input archive_v3(const Cades_signed_data_parts& parts, const Cades_signer_parts& signer,
                                   size_t position, std::span<const uint8_t> token)
{
    Archive_timestamp_input input;
    input.token.assign(token.begin(), token.end());
    append(input.before, parts.content_type);
    input.content = Archive_timestamp_input::Content_part::Digest;
    std::vector<uint8_t> after(signer.fields.begin(), signer.fields.end());
    const auto token_parts = read_cades_parts(token);
    const auto index_bytes = index_of_token(token_parts ? &*token_parts : nullptr);
    if (!index_bytes) {
        add_error(input, Text_archive_index_missing);
    } else {
        append(after, *index_bytes);
        if (const auto index = read_ats_hash_index(*index_bytes)) {
            check_index(*index, parts, signer, input);
            covered_by_index(*index, signer, position, input);
        } else {
            add_error(input, Text_archive_index_unreadable);
        }
    }
    input.after = {std::move(after)};
    return input;
}

// A SET field made of items: as the file holds it (field), or with its items sorted as DER
// orders a SET; empty when the field is absent (and tag is that of a field the file holds).
std::vector<uint8_t> set_field(std::span<const uint8_t> field, std::vector<std::span<const uint8_t>> items, bool sorted,
                               uint8_t tag = 0)
{
    if (!sorted && !field.empty())
        return {field.begin(), field.end()};
    if (field.empty() && tag == 0)
        return {};
    if (sorted)
        std::sort(items.begin(), items.end(), [](auto left, auto right) {
            return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end());
        });
    size_t size = 0;
    for (const auto& item : items)
        size += item.size();
    std::vector<uint8_t> out = der_header(field.empty() ? tag : field[0], size);
    for (const auto& item : items)
        append(out, item);
    return out;
}

Archive_timestamp_input archive_v2(const Cades_signed_data_parts& parts, const Cades_signer_parts& signer,
                                   size_t position, std::span<const uint8_t> token, const Cades_content_form& content)
{
    Archive_timestamp_input input;
    input.token.assign(token.begin(), token.end());
    if (content.set_apart) {
        // The encapsulated content info as it was, around the document that was set apart.
        const std::vector<uint8_t> octets = der_header(Tag_octet_string, content.size);
        const std::vector<uint8_t> explicit_tag = der_header(0xA0, octets.size() + content.size);
        const size_t inner = parts.content_type.size() + explicit_tag.size() + octets.size() + content.size;
        input.before = der_header(Tag_sequence, inner);
        append(input.before, parts.content_type);
        append(input.before, explicit_tag);
        append(input.before, octets);
        input.content = Archive_timestamp_input::Content_part::Bytes;
    } else {
        append(input.before, parts.encap_content_info);
        if (content.detached && !parts.content_carried)
            input.content = Archive_timestamp_input::Content_part::Bytes;
    }
    std::vector<std::span<const uint8_t>> earlier;
    for (size_t at = 0; at < position; ++at)
        earlier.push_back(signer.unsigned_attributes[at].whole);
    // Each SET as the file orders it, then sorted as DER orders a SET (writers differ, and a
    // program that encodes the envelope again sorts them): every mix of the two, the file's first.
    input.after.clear();
    for (const bool sorted_sets : {false, true}) {
        for (const bool sorted_attributes : {false, true}) {
            std::vector<uint8_t> after = set_field(parts.certificates_field, parts.certificates, sorted_sets);
            append(after, set_field(parts.crls_field, parts.crls, sorted_sets));
            append(after, signer.fields);
            if (!earlier.empty())
                append(after, set_field({}, earlier, sorted_attributes, 0xA1));
            if (std::find(input.after.begin(), input.after.end(), after) == input.after.end())
                input.after.push_back(std::move(after));
        }
    }
    covered_before(signer, position, input);
    return input;
}

// The digest an OtherHash gives (a bare SHA-1 hash, or an algorithm and a value); nothing when it
// is neither or its algorithm is unknown.
std::optional<std::pair<const EVP_MD*, std::span<const uint8_t>>> other_hash(const Der_item& hash)
{
    if (hash.tag == Tag_octet_string)
        return std::pair(EVP_sha1(), hash.contents);
    const auto fields = hash.tag == Tag_sequence ? read_der_items(hash.contents, 2) : std::nullopt;
    if (!fields || fields->size() != 2 || (*fields)[1].tag != Tag_octet_string)
        return std::nullopt;
    const unsigned char* in = (*fields)[0].whole.data();
    const Owner<X509_ALGOR> algorithm(
        d2i_X509_ALGOR(nullptr, &in, static_cast<long>(std::min<size_t>((*fields)[0].whole.size(), LONG_MAX))));
    const ASN1_OBJECT* object = nullptr;
    if (algorithm)
        X509_ALGOR_get0(&object, nullptr, nullptr, algorithm.get());
    const EVP_MD* digest = object ? EVP_get_digestbyobj(object) : nullptr;
    ERR_clear_error();
    if (!digest)
        return std::nullopt;
    return std::pair(digest, (*fields)[1].contents);
}

// Values and their hashes by digest type, each made once whatever the number of references.
struct Hashed_values {
    std::vector<std::span<const uint8_t>> values;
    std::map<int, std::set<std::vector<uint8_t>>> by_type{};
};

bool names_one_of(const Der_item& hash, Hashed_values& values)
{
    const auto named = other_hash(hash);
    if (!named)
        return false;
    auto& hashes = values.by_type[EVP_MD_get_type(named->first)];
    if (hashes.empty())
        for (const auto& value : values.values)
            hashes.insert(digest_of(named->first, value));
    return hashes.count(std::vector<uint8_t>(named->second.begin(), named->second.end())) > 0;
}

// The items of the SEQUENCE OF that the first value of the signer's attribute of that type is.
template <size_t N>
std::optional<std::vector<Der_item>> attribute_sequence(const Cades_signer_parts& signer,
                                                        const std::array<uint8_t, N>& type)
{
    for (const Cades_attribute& attribute : signer.unsigned_attributes) {
        if (!is(attribute.type, type) || attribute.values.empty())
            continue;
        const auto value = read_der_item(attribute.values.front());
        return value && value->tag == Tag_sequence ? read_der_items(value->contents, Cades_item_limit) : std::nullopt;
    }
    return std::nullopt;
}

// Where the signer carries the values (certificateValues, revocationValues: CAdES-X-L), every
// complete reference must name one of them or one of the SignedData's own.
void check_references(const Cades_signed_data_parts& parts, const Cades_signer_parts& signer,
                      Archive_timestamp_input& input)
{
    const auto certificate_values = attribute_sequence(signer, Oid_certificate_values);
    const auto certificate_refs = attribute_sequence(signer, Oid_certificate_refs);
    if (certificate_values && certificate_refs) {
        Hashed_values certificates{parts.certificates};
        for (const Der_item& value : *certificate_values)
            certificates.values.push_back(value.whole);
        for (const Der_item& reference : *certificate_refs) {
            const auto fields = reference.tag == Tag_sequence ? read_der_items(reference.contents, 2) : std::nullopt;
            if (!fields || fields->empty() || !names_one_of((*fields)[0], certificates))
                add_error(input, Text_archive_reference_unmatched);
        }
    }
    const auto revocation_values = attribute_sequence(signer, Oid_revocation_values);
    const auto revocation_refs = attribute_sequence(signer, Oid_revocation_refs);
    if (!revocation_values || !revocation_refs)
        return;
    Hashed_values crls{parts.crls};
    for (const Der_item& choice : *revocation_values) {
        const auto list = choice.tag == 0xA0 ? read_der_item(choice.contents) : std::nullopt;
        const auto items = list ? read_der_items(list->contents, Cades_item_limit) : std::nullopt;
        for (size_t i = 0; items && i < items->size(); ++i)
            crls.values.push_back((*items)[i].whole);
    }
    // CrlOcspRef: [0] CRLListID (SEQUENCE { SEQUENCE OF CrlValidatedID { OtherHash, ... } }); the
    // OCSP references name a response by a hash that is optional, and are not matched.
    for (const Der_item& reference : *revocation_refs) {
        const auto choices = reference.tag == Tag_sequence ? read_der_items(reference.contents, 3) : std::nullopt;
        for (size_t c = 0; choices && c < choices->size(); ++c) {
            if ((*choices)[c].tag != 0xA0)
                continue;
            const auto list_id = read_der_item((*choices)[c].contents);
            const auto list_fields = list_id ? read_der_items(list_id->contents, 1) : std::nullopt;
            const auto validated = list_fields && list_fields->size() == 1
                                       ? read_der_items((*list_fields)[0].contents, Cades_item_limit)
                                       : std::nullopt;
            if (!validated)
                add_error(input, Text_archive_reference_unmatched);
            for (size_t v = 0; validated && v < validated->size(); ++v) {
                const auto crl_fields = read_der_items((*validated)[v].contents, 2);
                if (!crl_fields || crl_fields->empty() || !names_one_of((*crl_fields)[0], crls))
                    add_error(input, Text_archive_reference_unmatched);
            }
        }
        if (!choices)
            add_error(input, Text_archive_reference_unmatched);
    }
}

// An escTimeStamp covers the signature value, the signature time stamps and the complete
// references; time-stamped certificates and CRLs the references alone. Each attribute counts
// whole, as encoded.
Archive_timestamp_input references_timestamp(const Cades_signed_data_parts& parts, const Cades_signer_parts& signer,
                                             size_t position, std::span<const uint8_t> token, bool with_signature)
{
    Archive_timestamp_input input;
    input.token.assign(token.begin(), token.end());
    input.scope = with_signature ? Timestamp_scope::Archive : Timestamp_scope::References;
    if (with_signature) {
        append(input.before, signer.signature_value);
        size_t ordinal = 0;
        for (size_t at = 0; at < signer.unsigned_attributes.size(); ++at) {
            const Cades_attribute& attribute = signer.unsigned_attributes[at];
            if (!is(attribute.type, Oid_signature_timestamp))
                continue;
            append(input.before, attribute.whole);
            for (size_t value = 0; value < attribute.values.size(); ++value)
                if (at < position)
                    input.covered_signature_timestamps.push_back(ordinal++);
        }
    }
    for (const auto* oid : {&Oid_certificate_refs, &Oid_revocation_refs})
        for (const Cades_attribute& attribute : signer.unsigned_attributes)
            if (is(attribute.type, *oid))
                append(input.before, attribute.whole);
    check_references(parts, signer, input);
    return input;
}

} // namespace

std::optional<Der_item> read_der_item(std::span<const uint8_t> bytes)
{
    if (bytes.size() < 2 || (bytes[0] & 0x1F) == 0x1F)
        return std::nullopt;
    size_t at = 1;
    size_t length = bytes[at++];
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        // No indefinite length, and no length that needs more than the bytes a size holds.
        if (count == 0 || count > sizeof(size_t) || bytes.size() - at < count)
            return std::nullopt;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | bytes[at++];
    }
    if (length > bytes.size() - at)
        return std::nullopt;
    return Der_item{bytes[0], bytes.subspan(at, length), bytes.subspan(0, at + length)};
}

std::optional<std::vector<Der_item>> read_der_items(std::span<const uint8_t> contents, size_t limit)
{
    std::vector<Der_item> items;
    while (!contents.empty()) {
        const auto item = read_der_item(contents);
        if (!item || items.size() >= limit)
            return std::nullopt;
        items.push_back(*item);
        contents = contents.subspan(item->whole.size());
    }
    return items;
}

std::optional<Cades_signed_data_parts> read_cades_parts(std::span<const uint8_t> content_info)
{
    const auto outer = read_der_item(content_info);
    const auto top = outer && outer->tag == Tag_sequence ? read_der_items(outer->contents, 2) : std::nullopt;
    if (!top || top->size() != 2 || !is((*top)[0].whole, Oid_signed_data) || (*top)[1].tag != 0xA0)
        return std::nullopt;
    const auto signed_data = read_der_item((*top)[1].contents);
    const auto fields =
        signed_data && signed_data->tag == Tag_sequence ? read_der_items(signed_data->contents, 6) : std::nullopt;
    // version, digestAlgorithms, encapContentInfo, [0] certificates, [1] crls, signerInfos.
    if (!fields || fields->size() < 4 || (*fields)[2].tag != Tag_sequence || fields->back().tag != Tag_set)
        return std::nullopt;
    Cades_signed_data_parts parts;
    const Der_item& encap = (*fields)[2];
    const auto encap_fields = read_der_items(encap.contents, 2);
    if (!encap_fields || encap_fields->empty() || (*encap_fields)[0].tag != Tag_oid)
        return std::nullopt;
    parts.content_type = (*encap_fields)[0].whole;
    parts.encap_content_info = encap.whole;
    parts.content_carried = encap_fields->size() == 2;
    for (size_t i = 3; i + 1 < fields->size(); ++i) {
        const Der_item& field = (*fields)[i];
        const auto items = wholes_of(field.contents);
        if (!items || (field.tag != 0xA0 && field.tag != 0xA1) ||
            (field.tag == 0xA0 ? !parts.certificates_field.empty() : !parts.crls_field.empty()))
            return std::nullopt;
        (field.tag == 0xA0 ? parts.certificates_field : parts.crls_field) = field.whole;
        (field.tag == 0xA0 ? parts.certificates : parts.crls) = *items;
    }
    const auto signers = read_der_items(fields->back().contents, Cades_item_limit);
    if (!signers)
        return std::nullopt;
    for (const Der_item& item : *signers) {
        auto signer = read_signer(item);
        if (!signer)
            return std::nullopt;
        parts.signers.push_back(std::move(*signer));
    }
    return parts;
}

std::optional<Ats_hash_index> read_ats_hash_index(std::span<const uint8_t> index)
{
    const auto outer = read_der_item(index);
    const auto fields = outer && outer->tag == Tag_sequence && outer->whole.size() == index.size()
                            ? read_der_items(outer->contents, 4)
                            : std::nullopt;
    if (!fields || fields->size() < 3)
        return std::nullopt;
    Ats_hash_index read;
    read.algorithm = EVP_sha256();
    size_t at = 0;
    if (fields->size() == 4) {
        const unsigned char* in = (*fields)[0].whole.data();
        const Owner<X509_ALGOR> algorithm(
            d2i_X509_ALGOR(nullptr, &in, static_cast<long>(std::min<size_t>((*fields)[0].whole.size(), LONG_MAX))));
        const ASN1_OBJECT* object = nullptr;
        if (algorithm)
            X509_ALGOR_get0(&object, nullptr, nullptr, algorithm.get());
        read.algorithm = object ? EVP_get_digestbyobj(object) : nullptr;
        ERR_clear_error();
        if (!read.algorithm)
            return std::nullopt;
        at = 1;
    }
    const size_t size = static_cast<size_t>(EVP_MD_get_size(read.algorithm));
    std::vector<std::vector<uint8_t>>* lists[] = {&read.certificates, &read.crls, &read.attribute_values};
    for (auto* list : lists) {
        const Der_item& field = (*fields)[at++];
        const auto hashes = field.tag == Tag_sequence ? read_der_items(field.contents, Cades_item_limit) : std::nullopt;
        if (!hashes)
            return std::nullopt;
        for (const Der_item& hash : *hashes) {
            if (hash.tag != Tag_octet_string || hash.contents.size() != size)
                return std::nullopt;
            list->emplace_back(hash.contents.begin(), hash.contents.end());
        }
    }
    return read;
}

std::vector<Archive_timestamp_input> archive_timestamps_of(const Cades_signed_data_parts& parts,
                                                           const Cades_signer_parts& signer,
                                                           const Cades_content_form& content)
{
    std::vector<Archive_timestamp_input> found;
    for (size_t position = 0; position < signer.unsigned_attributes.size(); ++position) {
        const Cades_attribute& attribute = signer.unsigned_attributes[position];
        for (const auto& value : attribute.values) {
            if (found.size() >= Cades_item_limit)
                return found;
            if (is(attribute.type, Oid_archive_v3))
                found.push_back(archive_v3(parts, signer, position, value));
            else if (is(attribute.type, Oid_archive_v2))
                found.push_back(archive_v2(parts, signer, position, value, content));
            else if (is(attribute.type, Oid_esc_timestamp))
                found.push_back(references_timestamp(parts, signer, position, value, true));
            else if (is(attribute.type, Oid_cert_crl_timestamp))
                found.push_back(references_timestamp(parts, signer, position, value, false));
        }
    }
    return found;
}

std::vector<Covered_digest> archive_covered_digests(const Archive_timestamp_input& input, const Document_bytes* content,
                                                    const Covered_digest& content_digest)
{
    using Part = Archive_timestamp_input::Content_part;
    if ((input.content == Part::Digest && !content_digest) || (input.content == Part::Bytes && !content))
        return std::vector<Covered_digest>(input.after.size());
    // What comes before the alternatives is hashed once per algorithm, however many are tried.
    struct Prefixes {
        std::map<int, Owner<EVP_MD_CTX>> by_type;
    };
    const auto prefixes = std::make_shared<Prefixes>();
    const auto prefix = [&input, content, content_digest, prefixes](const EVP_MD* algorithm) -> EVP_MD_CTX* {
        const int type = EVP_MD_get_type(algorithm);
        if (const auto found = prefixes->by_type.find(type); found != prefixes->by_type.end())
            return found->second.get();
        Owner<EVP_MD_CTX> context(EVP_MD_CTX_new());
        bool hashed = context && EVP_DigestInit_ex(context.get(), algorithm, nullptr) == 1 &&
                      EVP_DigestUpdate(context.get(), input.before.data(), input.before.size()) == 1;
        if (hashed && input.content == Part::Digest) {
            const std::vector<uint8_t> digest = content_digest(algorithm);
            hashed = !digest.empty() && EVP_DigestUpdate(context.get(), digest.data(), digest.size()) == 1;
        } else if (hashed && input.content == Part::Bytes) {
            hashed = content->read_slices([&context](std::span<const uint8_t> slice) {
                return EVP_DigestUpdate(context.get(), slice.data(), slice.size()) == 1;
            });
        }
        if (!hashed)
            context.reset();
        return prefixes->by_type.emplace(type, std::move(context)).first->second.get();
    };
    std::vector<Covered_digest> digests;
    for (size_t alternative = 0; alternative < input.after.size(); ++alternative)
        digests.push_back([&input, alternative, prefix](const EVP_MD* algorithm) -> std::vector<uint8_t> {
            EVP_MD_CTX* before = prefix(algorithm);
            const Owner<EVP_MD_CTX> context(before ? EVP_MD_CTX_new() : nullptr);
            const std::vector<uint8_t>& after = input.after[alternative];
            std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
            unsigned int size = 0;
            if (!context || EVP_MD_CTX_copy_ex(context.get(), before) != 1 ||
                EVP_DigestUpdate(context.get(), after.data(), after.size()) != 1 ||
                EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1)
                return {};
            digest.resize(size);
            return digest;
        });
    return digests;
}

bool mentions_long_term_attributes(std::span<const uint8_t> bytes)
{
    return contains(bytes, Oid_archive_v3) || contains(bytes, Oid_archive_v2) || contains(bytes, Oid_esc_timestamp) ||
           contains(bytes, Oid_cert_crl_timestamp);
}

} // namespace velin
