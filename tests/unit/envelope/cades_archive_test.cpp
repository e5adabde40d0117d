// The reading of long-term CAdES data as encoded: the archive time stamps a signer carries, what
// each imprint covers, the hash index checked against the envelope, and hostile encodings.
#include "envelope/cades_archive.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velin {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes tlv(uint8_t tag, const Bytes& contents)
{
    Bytes out{tag};
    if (contents.size() < 0x80) {
        out.push_back(static_cast<uint8_t>(contents.size()));
    } else {
        Bytes length;
        for (size_t rest = contents.size(); rest; rest >>= 8)
            length.insert(length.begin(), static_cast<uint8_t>(rest & 0xFF));
        out.push_back(static_cast<uint8_t>(0x80 | length.size()));
        out.insert(out.end(), length.begin(), length.end());
    }
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes sha256(const Bytes& first, const Bytes& second = {})
{
    Bytes digest(32);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    unsigned int size = 0;
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    EVP_DigestUpdate(context, first.data(), first.size());
    EVP_DigestUpdate(context, second.data(), second.size());
    EVP_DigestFinal_ex(context, digest.data(), &size);
    EVP_MD_CTX_free(context);
    return digest;
}

const Bytes Oid_signed_data = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const Bytes Oid_data = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const Bytes Oid_archive_v3 = {0x06, 0x06, 0x04, 0x00, 0x8D, 0x45, 0x02, 0x04};
const Bytes Oid_hash_index = {0x06, 0x07, 0x04, 0x00, 0x81, 0x95, 0x32, 0x01, 0x05};
const Bytes Oid_hash_index_legacy = {0x06, 0x06, 0x04, 0x00, 0x8D, 0x45, 0x02, 0x05};
const Bytes Oid_archive_v2 = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x02, 0x30};
const Bytes Oid_signature_timestamp = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x02, 0x0E};
const Bytes Oid_sha256 = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

Bytes attribute(const Bytes& type, const Bytes& value)
{
    return tlv(0x30, cat({type, tlv(0x31, value)}));
}

Bytes octets(const Bytes& contents)
{
    return tlv(0x04, contents);
}

// The fields of a signer before its unsigned attributes.
Bytes signer_fields()
{
    return cat({tlv(0x02, {1}), tlv(0x30, {}), tlv(0x30, Oid_sha256), tlv(0xA0, attribute(Oid_data, octets({7}))),
                tlv(0x30, Oid_sha256), octets({'s', 'i', 'g'})});
}

// A ContentInfo of signedData, its document left out, with the given certificates, lists and the
// unsigned attributes of its one signer.
Bytes envelope(const std::vector<Bytes>& certificates, const std::vector<Bytes>& crls,
               const std::vector<Bytes>& unsigned_attributes)
{
    Bytes certificate_field, crl_field, attributes;
    for (const Bytes& certificate : certificates)
        certificate_field = cat({certificate_field, certificate});
    for (const Bytes& crl : crls)
        crl_field = cat({crl_field, crl});
    for (const Bytes& item : unsigned_attributes)
        attributes = cat({attributes, item});
    const Bytes signer = tlv(0x30, cat({signer_fields(), attributes.empty() ? Bytes{} : tlv(0xA1, attributes)}));
    const Bytes signed_data = tlv(0x30, cat({tlv(0x02, {1}), tlv(0x31, tlv(0x30, Oid_sha256)), tlv(0x30, Oid_data),
                                             certificates.empty() ? Bytes{} : tlv(0xA0, certificate_field),
                                             crls.empty() ? Bytes{} : tlv(0xA1, crl_field), tlv(0x31, signer)}));
    return tlv(0x30, cat({Oid_signed_data, tlv(0xA0, signed_data)}));
}

// A token-shaped SignedData whose signer carries the index among its unsigned attributes.
Bytes token_with_index(const Bytes& index)
{
    return envelope({}, {}, {attribute(Oid_hash_index, index)});
}

Bytes index_of(const std::vector<Bytes>& certificates, const std::vector<Bytes>& crls, const std::vector<Bytes>& values,
               const Bytes& algorithm = {})
{
    Bytes lists[3];
    for (const Bytes& hash : certificates)
        lists[0] = cat({lists[0], octets(hash)});
    for (const Bytes& hash : crls)
        lists[1] = cat({lists[1], octets(hash)});
    for (const Bytes& hash : values)
        lists[2] = cat({lists[2], octets(hash)});
    return tlv(0x30, cat({algorithm, tlv(0x30, lists[0]), tlv(0x30, lists[1]), tlv(0x30, lists[2])}));
}

std::vector<Archive_timestamp_input> archive_timestamps(const Bytes& der, Cades_content_form form = {})
{
    const auto parts = read_cades_parts(der);
    EXPECT_TRUE(parts.has_value());
    if (!parts || parts->signers.size() != 1)
        return {};
    return archive_timestamps_of(*parts, parts->signers.front(), form);
}

const Bytes Certificate = tlv(0x30, {0x02, 0x01, 0x05});
const Bytes Crl = tlv(0x30, {0x02, 0x01, 0x06});
const Bytes Signature_token = tlv(0x30, {0x04, 0x01, 0x09});

TEST(Cades_archive, an_index_that_names_what_the_envelope_holds_gives_the_imprint_input_and_the_coverage)
{
    const Bytes signature_attribute = attribute(Oid_signature_timestamp, Signature_token);
    const Bytes index =
        index_of({sha256(Certificate)}, {sha256(Crl)}, {sha256(Oid_signature_timestamp, Signature_token)});
    const Bytes der =
        envelope({Certificate}, {Crl}, {signature_attribute, attribute(Oid_archive_v3, token_with_index(index))});
    ASSERT_TRUE(mentions_long_term_attributes(der));
    const auto found = archive_timestamps(der);
    ASSERT_EQ(found.size(), 1u);
    const Archive_timestamp_input& input = found.front();
    EXPECT_EQ(input.scope, Timestamp_scope::Archive);
    EXPECT_TRUE(input.coverage_errors.empty());
    EXPECT_EQ(input.covered_signature_timestamps, std::vector<size_t>{0});
    EXPECT_EQ(input.before, Oid_data);
    EXPECT_EQ(input.content, Archive_timestamp_input::Content_part::Digest);
    ASSERT_EQ(input.after.size(), 1u);
    EXPECT_EQ(input.after.front(), cat({signer_fields(), index}));

    // The imprint: the content type, the document's digest, the signer's fields, the index.
    const Bytes document_digest(32, 0xAB);
    const Covered_digest covered =
        archive_covered_digests(input, nullptr, [&](const EVP_MD*) { return document_digest; }).front();
    ASSERT_TRUE(covered);
    EXPECT_EQ(covered(EVP_sha256()), sha256(cat({Oid_data, document_digest, signer_fields(), index})));
    // Without the document's digest, nothing can be covered.
    EXPECT_FALSE(archive_covered_digests(input, nullptr, {}).front());

    // The earlier ats-hash-index lists whole attributes.
    const Bytes legacy_index = index_of({}, {}, {sha256(signature_attribute)});
    const auto legacy = archive_timestamps(
        envelope({}, {},
                 {signature_attribute,
                  attribute(Oid_archive_v3, envelope({}, {}, {attribute(Oid_hash_index_legacy, legacy_index)}))}));
    ASSERT_EQ(legacy.size(), 1u);
    EXPECT_TRUE(legacy.front().coverage_errors.empty());
    EXPECT_EQ(legacy.front().covered_signature_timestamps, std::vector<size_t>{0});

    // An explicit digest algorithm reads the same.
    const Bytes explicit_index = index_of({sha256(Certificate)}, {}, {}, tlv(0x30, Oid_sha256));
    const auto explicit_found =
        archive_timestamps(envelope({Certificate}, {}, {attribute(Oid_archive_v3, token_with_index(explicit_index))}));
    ASSERT_EQ(explicit_found.size(), 1u);
    EXPECT_TRUE(explicit_found.front().coverage_errors.empty());
}

TEST(Cades_archive, what_the_index_lists_and_the_envelope_no_longer_holds_is_a_coverage_error)
{
    const Bytes gone = tlv(0x30, {0x02, 0x01, 0x07});
    const auto errors_of = [](const Bytes& der) {
        const auto found = archive_timestamps(der);
        return found.size() == 1 ? found.front().coverage_errors : std::vector<std::string>{"none"};
    };
    const Bytes certificate_index = index_of({sha256(Certificate), sha256(gone)}, {}, {});
    EXPECT_EQ(errors_of(envelope({Certificate}, {}, {attribute(Oid_archive_v3, token_with_index(certificate_index))})),
              std::vector<std::string>{Text_archive_certificate_missing});
    const Bytes crl_index = index_of({}, {sha256(Crl)}, {});
    EXPECT_EQ(errors_of(envelope({}, {}, {attribute(Oid_archive_v3, token_with_index(crl_index))})),
              std::vector<std::string>{Text_archive_crl_missing});
    // A signature time stamp changed after the archive time stamp: its hash names nothing.
    const Bytes attribute_index = index_of({}, {}, {sha256(Oid_signature_timestamp, Signature_token)});
    const Bytes changed = tlv(0x30, {0x04, 0x01, 0x0A});
    EXPECT_EQ(errors_of(envelope({}, {},
                                 {attribute(Oid_signature_timestamp, changed),
                                  attribute(Oid_archive_v3, token_with_index(attribute_index))})),
              std::vector<std::string>{Text_archive_attribute_missing});
    // No index, an index of an unknown digest, an index with a hash of the wrong size.
    EXPECT_EQ(errors_of(envelope({}, {}, {attribute(Oid_archive_v3, envelope({}, {}, {}))})),
              std::vector<std::string>{Text_archive_index_missing});
    EXPECT_EQ(errors_of(envelope({}, {}, {attribute(Oid_archive_v3, Signature_token)})),
              std::vector<std::string>{Text_archive_index_missing});
    const Bytes unknown_digest = index_of({}, {}, {}, tlv(0x30, tlv(0x06, {0x2A, 0x03})));
    EXPECT_EQ(errors_of(envelope({}, {}, {attribute(Oid_archive_v3, token_with_index(unknown_digest))})),
              std::vector<std::string>{Text_archive_index_unreadable});
    const Bytes short_hash = index_of({Bytes(20, 1)}, {}, {});
    EXPECT_EQ(errors_of(envelope({}, {}, {attribute(Oid_archive_v3, token_with_index(short_hash))})),
              std::vector<std::string>{Text_archive_index_unreadable});
}

TEST(Cades_archive, a_version_two_time_stamp_covers_the_envelope_and_every_attribute_before_it)
{
    const Bytes signature_attribute = attribute(Oid_signature_timestamp, Signature_token);
    const Bytes first = attribute(Oid_archive_v2, Signature_token);
    const Bytes der =
        envelope({Certificate}, {Crl}, {signature_attribute, first, attribute(Oid_archive_v2, Signature_token)});
    const auto found = archive_timestamps(der, Cades_content_form{false, true, 3});
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].covered_signature_timestamps, std::vector<size_t>{0});
    EXPECT_TRUE(found[0].covered_archive_timestamps.empty());
    EXPECT_EQ(found[1].covered_signature_timestamps, std::vector<size_t>{0});
    EXPECT_EQ(found[1].covered_archive_timestamps, std::vector<size_t>{0});
    // The document set apart: the encapsulated content info as it was, around its three bytes.
    EXPECT_EQ(found[0].content, Archive_timestamp_input::Content_part::Bytes);
    const Bytes encapsulated = tlv(0x30, cat({Oid_data, tlv(0xA0, octets({'d', 'o', 'c'}))}));
    const Bytes document = {'d', 'o', 'c'};
    const Document_bytes bytes{Bytes(document)};
    const Bytes after = cat({tlv(0xA0, Certificate), tlv(0xA1, Crl), signer_fields(), tlv(0xA1, signature_attribute)});
    ASSERT_FALSE(found[0].after.empty());
    EXPECT_EQ(found[0].after.front(), after);
    EXPECT_EQ(archive_covered_digests(found[0], &bytes, {}).front()(EVP_sha256()), sha256(encapsulated, after));
    // The second covers the first too; the file holds every SET in DER order, so there is no
    // other order to try.
    ASSERT_EQ(found[1].after.size(), 1u);
    EXPECT_FALSE(archive_covered_digests(found[1], nullptr, {}).front());

    // Attributes the file holds out of DER order: the file's order first, then sorted, each hashed
    // over the same prefix.
    const auto unsorted =
        archive_timestamps(envelope({}, {}, {first, signature_attribute, first}), Cades_content_form{false, true, 3});
    ASSERT_EQ(unsorted.size(), 2u);
    const Archive_timestamp_input& last = unsorted[1];
    ASSERT_EQ(last.after.size(), 2u);
    EXPECT_EQ(last.after[0], cat({signer_fields(), tlv(0xA1, cat({first, signature_attribute}))}));
    EXPECT_EQ(last.after[1], cat({signer_fields(), tlv(0xA1, cat({signature_attribute, first}))}));
    const auto both = archive_covered_digests(last, &bytes, {});
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0](EVP_sha256()), sha256(encapsulated, last.after[0]));
    EXPECT_EQ(both[1](EVP_sha256()), sha256(encapsulated, last.after[1]));
}

TEST(Cades_archive, hostile_encodings_end_in_nothing_read)
{
    const Bytes index = index_of({sha256(Certificate)}, {}, {});
    ASSERT_TRUE(read_ats_hash_index(index));
    // Every truncation of an index and of an envelope is refused, and never read past its end.
    const Bytes der = envelope({Certificate}, {Crl}, {attribute(Oid_archive_v3, token_with_index(index))});
    for (size_t size = 0; size < index.size(); ++size)
        EXPECT_FALSE(read_ats_hash_index(std::span<const uint8_t>(index.data(), size))) << size;
    for (size_t size = 0; size < der.size(); ++size)
        EXPECT_FALSE(read_cades_parts(std::span<const uint8_t>(der.data(), size))) << size;
    // Bytes after the index, a length beyond the bytes, an indefinite length, a length of more
    // octets than a size holds.
    EXPECT_FALSE(read_ats_hash_index(cat({index, {0x00}})));
    EXPECT_FALSE(read_der_item(Bytes{0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF, 0x00}));
    EXPECT_FALSE(read_der_item(Bytes{0x30, 0x80, 0x00, 0x00}));
    EXPECT_FALSE(read_der_item(Bytes{0x30, 0x89, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(read_der_item(Bytes{0x1F, 0x01, 0x00}));
    // A count beyond the limit is refused.
    Bytes many;
    const Bytes hash = octets(Bytes(32, 0));
    for (size_t i = 0; i <= Cades_item_limit; ++i)
        many.insert(many.end(), hash.begin(), hash.end());
    EXPECT_FALSE(read_ats_hash_index(tlv(0x30, cat({tlv(0x30, many), tlv(0x30, {}), tlv(0x30, {})}))));
    // Deep nesting is read one level at a time, never recursively.
    Bytes nested = tlv(0x30, {});
    for (int depth = 0; depth < 2000; ++depth)
        nested = tlv(0x30, nested);
    EXPECT_FALSE(read_ats_hash_index(nested));
    EXPECT_FALSE(read_cades_parts(nested));
    // An envelope that mentions none of the attributes is spared the look.
    EXPECT_FALSE(mentions_long_term_attributes(envelope({Certificate}, {}, {})));
}

} // namespace
} // namespace velin
