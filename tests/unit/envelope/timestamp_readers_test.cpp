// The readers of time stamps and TimeStampedData on outside bytes: what real files hold is read
// and checked, and every truncated, garbled or huge input ends with a reason, never as verified.
#include "envelope/ber_reader.h"
#include "envelope/timestamp_token.h"
#include "envelope/timestamped_data.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <filesystem>
#include <string>

namespace velin {
namespace {

std::vector<uint8_t> corpus(const std::string& name)
{
    const std::string text = test::read_file(std::filesystem::path(VELIN_SOURCE_DIR) / "tests/fuzz/timestamp" / name);
    return {text.begin(), text.end()};
}

const std::vector<uint8_t> other_bytes = {'a', 'l', 't', 'r', 'o'};

TEST(Timestamp_token, a_reply_and_its_bare_token_in_any_encoding_are_read_and_checked)
{
    for (const std::string name :
         {"corpus-token/contratto.tsr", "corpus-token/contratto.tst", "corpus-token/contratto.tst.b64"}) {
        const Timestamp_info info = check_timestamp(corpus(name), digest_of_pieces({other_bytes}));
        EXPECT_TRUE(info.read) << name << info.problem;
        EXPECT_TRUE(info.signature_valid) << name;
        EXPECT_TRUE(info.time_stamping_usage) << name;
        EXPECT_TRUE(info.certificate_current) << name;
        EXPECT_EQ(info.authority, "TSA Accreditata Demo") << name;
        EXPECT_GT(info.when.year, 2024) << name;
        // The generator's envelope is not these bytes.
        EXPECT_FALSE(info.imprint_matches) << name;
        EXPECT_FALSE(info.verified()) << name;
        EXPECT_EQ(info.problem, "L'impronta della marca temporale non corrisponde.") << name;
        EXPECT_EQ(info.token_sha256.size(), 32u) << name;
    }
    // The reports refer to a token by the SHA-256 of its DER bytes, whatever its encoding.
    const std::vector<uint8_t> der = corpus("corpus-token/contratto.tst");
    std::vector<uint8_t> expected(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    ASSERT_EQ(EVP_Digest(der.data(), der.size(), expected.data(), &size, EVP_sha256(), nullptr), 1);
    expected.resize(size);
    for (const std::string name : {"corpus-token/contratto.tst", "corpus-token/contratto.tst.b64"})
        EXPECT_EQ(check_timestamp(corpus(name), digest_of_pieces({other_bytes})).token_sha256, expected) << name;
    // An authority without the time-stamping purpose signs a token that is read but not relied on.
    const Timestamp_info no_usage = check_timestamp(corpus("corpus-token/no-eku.tst"), digest_of_pieces({other_bytes}));
    EXPECT_TRUE(no_usage.read && no_usage.signature_valid);
    EXPECT_FALSE(no_usage.time_stamping_usage);
    // No token, nothing to refer to.
    EXPECT_TRUE(check_timestamp(other_bytes, digest_of_pieces({other_bytes})).token_sha256.empty());
}

// A unit binds its tokens to its certificate with an ESS signing-certificate attribute; a token
// without one is read and its signature checked, but it is no time to rely on.
TEST(Timestamp_token, a_token_that_does_not_name_its_certificate_is_never_verified)
{
    std::string problem;
    const auto stamped = read_timestamped_data(corpus("corpus-tsd/senza-certificato-indicato.txt.p7m.tsd"), problem);
    ASSERT_TRUE(stamped && stamped->content && stamped->chain.size() == 1u) << problem;
    const Timestamp_info unbound = check_timestamp(stamped->chain[0].token, digest_of_pieces({*stamped->content}));
    EXPECT_TRUE(unbound.read && unbound.signature_valid && unbound.imprint_matches && unbound.time_stamping_usage &&
                unbound.certificate_current);
    EXPECT_FALSE(unbound.certificate_named);
    EXPECT_FALSE(unbound.verified());
    EXPECT_EQ(unbound.problem, Text_timestamp_certificate_not_named);

    // openssl ts names the certificate: the same checks pass with it.
    const auto named = read_timestamped_data(corpus("corpus-tsd/contratto.txt.p7m.tsd"), problem);
    ASSERT_TRUE(named && named->content) << problem;
    const Timestamp_info bound = check_timestamp(named->chain[0].token, digest_of_pieces({*named->content}));
    EXPECT_TRUE(bound.certificate_named);
    EXPECT_TRUE(bound.verified()) << bound.problem;
}

TEST(Timestamp_token, damaged_tokens_are_never_verified)
{
    const auto token = corpus("corpus-token/contratto.tst");
    for (size_t size = 0; size < token.size(); size += 7) {
        const Timestamp_info info = check_timestamp({token.data(), size}, digest_of_pieces({other_bytes}));
        EXPECT_FALSE(info.verified()) << size;
        EXPECT_FALSE(info.read && info.signature_valid) << size;
    }
    // A flipped byte inside the signed TSTInfo breaks the token's signature.
    auto flipped = token;
    flipped[flipped.size() / 3] ^= 0x01;
    EXPECT_FALSE(check_timestamp(flipped, digest_of_pieces({other_bytes})).signature_valid);
    EXPECT_FALSE(check_timestamp(std::vector<uint8_t>(1 << 20, 0x30), {}).read);
    EXPECT_FALSE(check_timestamp(std::vector<uint8_t>{}, {}).read);
}

TEST(Timestamped_data, der_ber_metadata_and_renewals_are_read)
{
    std::string problem;
    const auto plain = read_timestamped_data(corpus("corpus-tsd/contratto.txt.p7m.tsd"), problem);
    ASSERT_TRUE(plain) << problem;
    ASSERT_TRUE(plain->content);
    EXPECT_EQ(plain->chain.size(), 1u);
    EXPECT_FALSE(plain->has_meta_data);

    const auto ber = read_timestamped_data(corpus("corpus-tsd/contratto-ber.txt.p7m.tsd"), problem);
    ASSERT_TRUE(ber) << problem;
    EXPECT_EQ(ber->content, plain->content); // the pieces of the content joined
    EXPECT_EQ(ber->chain[0].token, plain->chain[0].token);
    EXPECT_EQ(ber->chain[0].time_stamp_and_crl, plain->chain[0].time_stamp_and_crl);

    const auto meta = read_timestamped_data(corpus("corpus-tsd/contratto-metadati.tsd"), problem);
    ASSERT_TRUE(meta) << problem;
    EXPECT_TRUE(meta->hash_protected);
    EXPECT_EQ(meta->file_name, "contratto.txt");
    EXPECT_EQ(meta->media_type, "text/plain");
    // The first token covers the metadata's DER and then the content.
    const Timestamp_info first =
        check_timestamp(meta->chain[0].token, digest_of_pieces({meta->meta_data_der, *meta->content}));
    EXPECT_TRUE(first.verified()) << first.problem;
    EXPECT_FALSE(check_timestamp(meta->chain[0].token, digest_of_pieces({*meta->content})).imprint_matches);

    const auto renewed = read_timestamped_data(corpus("corpus-tsd/rinnovata.txt.p7m.tsd"), problem);
    ASSERT_TRUE(renewed && renewed->chain.size() == 2u);
    EXPECT_TRUE(check_timestamp(renewed->chain[0].token, digest_of_pieces({*renewed->content})).verified());
    EXPECT_TRUE(
        check_timestamp(renewed->chain[1].token, digest_of_pieces({renewed->chain[0].time_stamp_and_crl})).verified());
}

TEST(Timestamped_data, truncated_garbled_and_foreign_inputs_are_refused_with_a_reason)
{
    const auto whole = corpus("corpus-tsd/contratto-metadati.tsd");
    std::string problem;
    for (size_t size = 0; size < whole.size(); ++size) {
        EXPECT_FALSE(read_timestamped_data({whole.data(), size}, problem)) << size;
        EXPECT_FALSE(problem.empty());
    }
    // A signed envelope, an evidence record instead of time stamps, nothing after the OID.
    EXPECT_FALSE(read_timestamped_data(corpus("corpus-token/contratto.tst"), problem));
    auto evidence_record = whole;
    const auto info = read_ber(whole);
    const auto wrapped = ber_children((*ber_children(*info))[1]);
    const auto fields = ber_children((*wrapped)[0]);
    const size_t evidence_at = static_cast<size_t>(fields->back().whole.data() - whole.data());
    ASSERT_EQ(evidence_record[evidence_at], 0xA0);
    evidence_record[evidence_at] = 0xA1; // an evidence record ([1]) in place of the time stamps
    EXPECT_FALSE(read_timestamped_data(evidence_record, problem));
    EXPECT_EQ(problem, "Il file contiene prove di conservazione di un tipo non supportato.");
    const std::vector<uint8_t> bare = {0x30, 0x0D, 0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86,
                                       0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x1F};
    EXPECT_FALSE(read_timestamped_data(bare, problem));
    // A huge claimed length is refused without allocating it.
    std::vector<uint8_t> huge = {0x30, 0x88, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(read_timestamped_data(huge, problem));
}

} // namespace
} // namespace velin
