// The serialized store format and the store's file handling: the exact byte layout, round trips,
// the other accepted encodings, and hostile files.
#include "pki.h"
#include "test_folder.h"

#include "trust/certificate_store.h"
#include "trust/serialized_store.h"

#include <gtest/gtest.h>

namespace velin::test {
namespace {

void put_u32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void put_record(std::vector<uint8_t>& out, uint32_t id, uint32_t encoding, const std::vector<uint8_t>& value)
{
    put_u32(out, id);
    put_u32(out, encoding);
    put_u32(out, static_cast<uint32_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

std::vector<uint8_t> header()
{
    return {0, 0, 0, 0, 'C', 'E', 'R', 'T'};
}

std::vector<uint8_t> end_marker()
{
    return std::vector<uint8_t>(12, 0);
}

// A store as Windows writes it: properties (SHA-1 hash, friendly name "Radice é") before the
// certificate element.
std::vector<uint8_t> windows_style_store()
{
    std::vector<uint8_t> bytes = header();
    put_record(bytes, 0x03, 1, std::vector<uint8_t>(20, 0xAB));
    const std::vector<uint8_t> friendly{'R', 0, 'a', 0, 'd', 0, 'i', 0, 'c', 0, 'e', 0, ' ', 0, 0xE9, 0, 0, 0};
    put_record(bytes, 0x0B, 1, friendly);
    put_record(bytes, 0x20, 1, pki_certificate("accredited-root").der());
    put_record(bytes, 0x20, 1, pki_certificate("accredited-ca").der());
    put_record(bytes, 0x21, 1, pki_bytes("crl/accredited-ca.crl"));
    const std::vector<uint8_t> end = end_marker();
    bytes.insert(bytes.end(), end.begin(), end.end());
    return bytes;
}

TEST(Serialized_store, writes_header_elements_and_end_marker_byte_for_byte)
{
    auto store = Certificate_store::create_memory();
    const Certificate root = pki_certificate("accredited-root");
    store->add_certificate(root);
    std::vector<uint8_t> expected = header();
    put_record(expected, 0x20, 1, root.der());
    const std::vector<uint8_t> end = end_marker();
    expected.insert(expected.end(), end.begin(), end.end());
    EXPECT_EQ(expected, store->serialize());

    std::vector<uint8_t> element;
    put_record(element, 0x20, 1, root.der());
    EXPECT_EQ(element, store->serialize_element(root));
    EXPECT_TRUE(store->serialize_element(pki_certificate("accredited-ca")).empty());

    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 'C', 'E', 'R', 'T', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
              Certificate_store::create_memory()->serialize());
}

TEST(Serialized_store, a_windows_list_loads_and_is_written_back_unchanged)
{
    const std::vector<uint8_t> original = windows_style_store();
    auto store = Certificate_store::from_bytes(original);
    ASSERT_NE(nullptr, store);
    const std::vector<Certificate> certificates = store->certificates();
    ASSERT_EQ(2u, certificates.size());
    EXPECT_EQ("Radice é", certificates[0].display_name());
    EXPECT_EQ("Certificatore Accreditato Demo Firma Qualificata CA", certificates[1].display_name());
    ASSERT_EQ(1u, store->crls().size());
    EXPECT_EQ(original, store->serialize());

    // The exported element keeps its properties.
    const auto element = parse_serialized_element(store->serialize_element(certificates[0]));
    ASSERT_TRUE(element.has_value());
    EXPECT_EQ(2u, element->properties.size());
}

TEST(Serialized_store, round_trip_through_a_file_is_byte_identical)
{
    Test_folder folder;
    auto store = Certificate_store::create_memory();
    for (const char* name : {"accredited-root", "accredited-ca", "card-root", "user-root"})
        store->add_certificate(pki_certificate(name));
    const std::string path = (folder / "list.sst").string();
    ASSERT_TRUE(store->save_file(path));
    const std::string written = read_file(path);

    uint32_t error = 99;
    auto loaded = Certificate_store::open_file(path, &error);
    ASSERT_NE(nullptr, loaded);
    EXPECT_EQ(0u, error);
    EXPECT_EQ(store->certificates(), loaded->certificates());
    const std::string again = (folder / "again.sst").string();
    ASSERT_TRUE(loaded->save_file(again));
    EXPECT_EQ(written, read_file(again));

    // The lists the test PKI ships were written the same way.
    for (const char* list : {"cnipa", "cns", "user"}) {
        const std::vector<uint8_t> fixture = pki_bytes(std::string("velin-data/data/") + list + ".sst");
        auto fixture_store = Certificate_store::from_bytes(fixture);
        ASSERT_NE(nullptr, fixture_store) << list;
        EXPECT_EQ(fixture, fixture_store->serialize()) << list;
    }
}

TEST(Serialized_store, adding_replaces_an_equal_certificate_in_place_and_delete_removes_it)
{
    auto store = Certificate_store::from_bytes(windows_style_store());
    ASSERT_NE(nullptr, store);
    const Certificate root = pki_certificate("accredited-root");
    EXPECT_TRUE(store->add_certificate(root));
    ASSERT_EQ(2u, store->size());
    EXPECT_EQ("Certificatore Accreditato Demo Root CA", store->certificates()[0].display_name())
        << "the replaced certificate lost its old properties";
    EXPECT_TRUE(store->delete_certificate(root));
    EXPECT_FALSE(store->delete_certificate(root));
    EXPECT_FALSE(store->contains(root));
    EXPECT_FALSE(store->add_certificate(Certificate()));
}

TEST(Serialized_store, other_encodings_are_recognised_and_loaded)
{
    const std::vector<uint8_t> der = pki_certificate("signer-legal").der();
    EXPECT_EQ(Object_content::Certificate, query_object(der).content);

    const std::string pem = pki_text("signer-legal.cert.pem") + pki_text("accredited-ca.cert.pem");
    const Queried_object from_pem = query_object(bytes_of(pem));
    EXPECT_EQ(Object_content::Certificate, from_pem.content);
    EXPECT_EQ(2u, from_pem.elements.size());

    // A signed message carries the signer's certificate.
    const Queried_object message = query_object(pki_bytes("documents/contratto-signer-legal.txt.p7m"));
    EXPECT_EQ(Object_content::Pkcs7, message.content);
    auto store = Certificate_store::from_bytes(pki_bytes("documents/contratto-signer-legal.txt.p7m"));
    ASSERT_NE(nullptr, store);
    EXPECT_TRUE(store->contains(pki_certificate("signer-legal")));

    EXPECT_EQ(Object_content::Crl, query_object(pki_bytes("crl/accredited-ca.crl")).content);

    auto one = Certificate_store::create_memory();
    one->add_certificate(pki_certificate("signer-legal"));
    EXPECT_EQ(Object_content::Serialized_certificate,
              query_object(one->serialize_element(pki_certificate("signer-legal"))).content);
    EXPECT_EQ(Object_content::Serialized_store, query_object(one->serialize()).content);
}

TEST(Serialized_store, hostile_bytes_are_refused_without_harm)
{
    const std::vector<uint8_t> good = windows_style_store();
    // Every cut of a valid store is refused: a list is never half loaded.
    for (size_t cut = 0; cut < good.size(); ++cut) {
        const std::span<const uint8_t> prefix(good.data(), cut);
        EXPECT_EQ(nullptr, Certificate_store::from_bytes(prefix)) << "cut at " << cut;
    }

    auto with_record = [](uint32_t id, uint32_t length, size_t actual) {
        std::vector<uint8_t> bytes = header();
        put_u32(bytes, id);
        put_u32(bytes, 1);
        put_u32(bytes, length);
        bytes.resize(bytes.size() + actual, 0x30);
        const std::vector<uint8_t> end = end_marker();
        bytes.insert(bytes.end(), end.begin(), end.end());
        return bytes;
    };
    EXPECT_EQ(nullptr, Certificate_store::from_bytes(with_record(0x20, 0xFFFFFFFF, 16))) << "huge length";
    EXPECT_EQ(nullptr, Certificate_store::from_bytes(with_record(0x20, 0x7FFFFFF0, 16))) << "huge length";
    EXPECT_EQ(nullptr, Certificate_store::from_bytes(with_record(0x20, 16, 16))) << "not a certificate";
    EXPECT_EQ(nullptr, Certificate_store::from_bytes(with_record(0x20, 0, 0))) << "empty element";
    EXPECT_EQ(nullptr, Certificate_store::from_bytes(with_record(0x10000, 4, 4))) << "property id too large";
    EXPECT_EQ(nullptr, Certificate_store::from_bytes(with_record(0x03, 4, 4))) << "property without element";

    std::vector<uint8_t> bad_end = header();
    put_u32(bad_end, 0);
    put_u32(bad_end, 0);
    put_u32(bad_end, 5);
    EXPECT_EQ(nullptr, Certificate_store::from_bytes(bad_end)) << "end marker with a length";

    // Too many properties for one element: refused before they are all held.
    std::vector<uint8_t> many = header();
    for (size_t i = 0; i <= Serialized_store_max_properties; ++i)
        put_record(many, 0x03, 1, {});
    EXPECT_EQ(nullptr, Certificate_store::from_bytes(many));

    std::vector<uint8_t> wrong_version = good;
    wrong_version[0] = 1;
    EXPECT_EQ(nullptr, Certificate_store::from_bytes(wrong_version));

    EXPECT_EQ(nullptr, Certificate_store::from_bytes(bytes_of("garbage that is no certificate")));
    EXPECT_EQ(nullptr, Certificate_store::from_bytes(
                           bytes_of("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n")));
    EXPECT_EQ(nullptr, Certificate_store::from_bytes(std::vector<uint8_t>(100000, 0xFF)));

    // Bytes after the end marker are no part of the store.
    std::vector<uint8_t> trailing = good;
    trailing.push_back(0x42);
    auto store = Certificate_store::from_bytes(trailing);
    ASSERT_NE(nullptr, store);
    EXPECT_EQ(good, store->serialize());
}

TEST(Serialized_store, files_that_cannot_be_lists_give_error_codes)
{
    Test_folder folder;
    uint32_t error = 0;
    EXPECT_EQ(nullptr, Certificate_store::open_file((folder / "missing.sst").string(), &error));
    EXPECT_EQ(2u, error);
    EXPECT_EQ(nullptr, Certificate_store::open_file(folder.path().string(), &error));
    EXPECT_EQ(13u, error) << "a folder";
    write_file(folder / "garbage.sst", "not a store");
    EXPECT_EQ(nullptr, Certificate_store::open_file((folder / "garbage.sst").string(), &error));
    EXPECT_EQ(13u, error);
    write_file(folder / "empty.sst", "");
    EXPECT_EQ(nullptr, Certificate_store::open_file((folder / "empty.sst").string(), &error));

    // A sparse file far beyond any list is refused without being read.
    {
        std::FILE* file = std::fopen((folder / "huge.sst").c_str(), "wb");
        ASSERT_NE(nullptr, file);
        ASSERT_EQ(0, std::fseek(file, static_cast<long>(Store_file_max_size) + 1, SEEK_SET));
        std::fputc(0, file);
        std::fclose(file);
    }
    EXPECT_EQ(nullptr, Certificate_store::open_file((folder / "huge.sst").string(), &error));
    EXPECT_EQ(8u, error);

    // A save that cannot happen leaves the old file as it was.
    auto store = Certificate_store::create_memory();
    store->add_certificate(pki_certificate("user-root"));
    EXPECT_FALSE(store->save_file("/dev/null/user.sst", &error));
    EXPECT_NE(0u, error);
    EXPECT_FALSE(Certificate_store::create_collection()->add_certificate(pki_certificate("user-root")));
}

TEST(Serialized_store, a_collection_shows_its_siblings_live)
{
    auto collection = Certificate_store::create_collection();
    auto first = Certificate_store::create_memory();
    auto second = Certificate_store::create_memory();
    first->add_certificate(pki_certificate("accredited-root"));
    EXPECT_TRUE(collection->add_sibling(first));
    EXPECT_TRUE(collection->add_sibling(second));
    EXPECT_FALSE(collection->add_sibling(collection)) << "itself";
    EXPECT_FALSE(collection->add_sibling(Certificate_store::create_collection()));
    EXPECT_FALSE(first->add_sibling(second)) << "a memory store has no siblings";

    second->add_certificate(pki_certificate("user-root"));
    EXPECT_TRUE(collection->contains(pki_certificate("user-root")));
    EXPECT_EQ(2u, collection->size());
    EXPECT_EQ(1u, collection->find_by_subject(pki_certificate("user-root").subject_name()).size());
}

} // namespace
} // namespace velin::test
