// Signature containers as the reader meets them: archives written here in memory by libzip, read
// back by the container reader, and hostile ones refused with our texts before anything is
// inflated past the limits; the manifests' references checked against the container's files.
#include "envelope/asic_container.h"
#include "envelope/asic_manifest.h"
#include "envelope/content_kind.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zip.h>

#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <vector>

namespace velin {
namespace {

struct Zip_spec {
    std::string name;
    std::string data;
    bool compress = true;
};

// The archive libzip writes for the files, in order.
std::vector<uint8_t> make_zip(const std::vector<Zip_spec>& files)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_source_keep(buffer);
    zip_t* archive = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
    EXPECT_NE(archive, nullptr);
    for (const Zip_spec& file : files) {
        zip_source_t* data = zip_source_buffer_create(file.data.data(), file.data.size(), 0, &error);
        const zip_int64_t index = zip_file_add(archive, file.name.c_str(), data, ZIP_FL_ENC_UTF_8);
        EXPECT_GE(index, 0) << file.name;
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                 file.compress ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
    }
    EXPECT_EQ(zip_close(archive), 0);
    std::vector<uint8_t> bytes;
    zip_source_open(buffer);
    zip_source_seek(buffer, 0, SEEK_END);
    bytes.resize(static_cast<size_t>(zip_source_tell(buffer)));
    zip_source_seek(buffer, 0, SEEK_SET);
    zip_source_read(buffer, bytes.data(), bytes.size());
    zip_source_close(buffer);
    zip_source_free(buffer);
    zip_error_fini(&error);
    return bytes;
}

const Zip_spec asic_s_mimetype{"mimetype", "application/vnd.etsi.asic-s+zip", false};

std::vector<uint8_t> simple_container()
{
    return make_zip({asic_s_mimetype, {"contratto.txt", "Contratto di prova."}, {"META-INF/signature.p7s", "firma"}});
}

// Every occurrence of from (same length as to) replaced in the archive's bytes.
void replace_all(std::vector<uint8_t>& bytes, const std::string& from, const std::string& to)
{
    ASSERT_EQ(from.size(), to.size());
    for (auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end()); at != bytes.end();
         at = std::search(at + 1, bytes.end(), from.begin(), from.end()))
        std::copy(to.begin(), to.end(), at);
}

std::string refusal(std::span<const uint8_t> bytes, const Asic_limits& limits = {})
{
    std::string problem;
    const auto container = read_asic_container(bytes, problem, limits);
    EXPECT_EQ(container.has_value(), problem.empty());
    return problem;
}

TEST(Asic_container, its_files_are_read_in_memory_with_the_mimetype_apart)
{
    const std::vector<uint8_t> bytes = simple_container();
    std::string problem;
    const auto container = read_asic_container(bytes, problem);
    ASSERT_TRUE(container) << problem;
    EXPECT_EQ(container->mimetype, "application/vnd.etsi.asic-s+zip");
    EXPECT_TRUE(container->warnings.empty());
    ASSERT_EQ(container->entries.size(), 2u);
    ASSERT_EQ(container->data_objects().size(), 1u);
    EXPECT_EQ(container->data_objects()[0]->name, "contratto.txt");
    const std::string text = "Contratto di prova.";
    EXPECT_EQ(container->data_objects()[0]->bytes.to_vector(), std::vector<uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(container->meta_files("signature", ".p7s").size(), 1u);
    EXPECT_TRUE(container->meta_files("ASiCManifest", ".xml").empty());
    EXPECT_EQ(container->find("contratto"), nullptr);

    // Folders are no files; a "mimetype" out of its place or compressed is read, with a warning.
    const auto folders = make_zip({{"META-INF/", ""}, {"a.txt", "a"}, asic_s_mimetype});
    const auto late = read_asic_container(folders, problem);
    ASSERT_TRUE(late) << problem;
    EXPECT_EQ(late->entries.size(), 1u);
    EXPECT_EQ(late->warnings, std::vector<std::string>{Asic_text_mimetype_placement});
    const auto compressed =
        read_asic_container(make_zip({{"mimetype", "application/vnd.etsi.asic-e+zip", true}, {"a.txt", "a"}}), problem);
    ASSERT_TRUE(compressed) << problem;
    EXPECT_EQ(compressed->warnings, std::vector<std::string>{Asic_text_mimetype_placement});
}

TEST(Asic_container, names_that_leave_the_folder_or_repeat_are_refused)
{
    for (const std::string name :
         {"../contratto.txt", "a/../../contratto.txt", "/tmp/contratto.txt", "C:/contratto.txt", "a\\..\\contratto.txt",
          "a//contratto.txt", "./contratto.txt", "a/./b"})
        EXPECT_EQ(refusal(make_zip({{name, "x"}, {"META-INF/signature.p7s", "firma"}})), Asic_text_bad_name) << name;

    // Two files of one name, the second's name rewritten after libzip wrote them.
    auto twice = make_zip({{"contratto.txt", "primo"}, {"contratta.txt", "secondo"}});
    replace_all(twice, "contratta.txt", "contratto.txt");
    EXPECT_EQ(refusal(twice), Asic_text_duplicate);
}

TEST(Asic_container, sizes_and_counts_past_the_limits_are_refused_before_inflating)
{
    Asic_limits limits;
    limits.entries = 3;
    EXPECT_EQ(refusal(make_zip({{"a", "1"}, {"b", "2"}, {"c", "3"}}), limits), "");
    EXPECT_EQ(refusal(make_zip({{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}}), limits), Asic_text_too_many);

    // A file of zeros far larger than its compressed form.
    limits = {};
    limits.entry_size = 64 * 1024;
    const auto zeros = make_zip({{"zeri.bin", std::string(1024 * 1024, '\0')}});
    EXPECT_LT(zeros.size(), 8u * 1024);
    EXPECT_EQ(refusal(zeros, limits), Asic_text_too_large);
    // Many files each under the limit, together over the total.
    limits.entry_size = 1024 * 1024;
    limits.total_size = 2 * 1024 * 1024;
    EXPECT_EQ(refusal(make_zip({{"a", std::string(900 * 1024, 'a')},
                                {"b", std::string(900 * 1024, 'b')},
                                {"c", std::string(900 * 1024, 'c')}}),
                      limits),
              Asic_text_too_large);

    // A declared size past the limits is refused whatever the data: a file that claims more is
    // never inflated.
    EXPECT_EQ(refusal(zeros, Asic_limits{.entries = 1000, .entry_size = 1000, .total_size = 1000}),
              Asic_text_too_large);
}

TEST(Asic_container, damaged_archives_are_refused)
{
    const std::vector<uint8_t> whole = simple_container();
    for (const size_t cut : {size_t{0}, size_t{10}, size_t{22}, whole.size() / 2, whole.size() - 1})
        EXPECT_EQ(refusal(std::span(whole).first(cut)), Asic_text_damaged) << cut;
    // A stored file's byte changed: its check code no longer holds.
    auto changed = make_zip({{"contratto.txt", "Contratto di prova.", false}});
    replace_all(changed, "prova", "prove");
    EXPECT_EQ(refusal(changed), Asic_text_damaged);
    // Not an archive at all.
    const std::string text = "Un testo qualsiasi, non un archivio.";
    EXPECT_EQ(refusal(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())), Asic_text_damaged);
}

std::vector<uint8_t> sha256_of(std::span<const uint8_t> bytes)
{
    std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr);
    digest.resize(size);
    return digest;
}

TEST(Asic_container, stored_files_are_read_where_they_lie_and_hashed_while_read)
{
    // Larger than a slice of the reading, so that it is compared and hashed in several.
    std::string large(200 * 1024 + 7, '\0');
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>((i * 2654435761u) >> 13);
    const Document_bytes whole(make_zip({asic_s_mimetype,
                                         {"grande.bin", large, false},
                                         {"compresso.txt", "Testo compresso, testo compresso.", true},
                                         {"vuoto.txt", "", false},
                                         {"META-INF/signature.p7s", "firma", false}}));
    std::string problem;
    const auto container = read_asic_container(whole, problem);
    ASSERT_TRUE(container) << problem;
    EXPECT_EQ(container->mimetype, "application/vnd.etsi.asic-s+zip");
    ASSERT_EQ(container->entries.size(), 4u);
    const auto inside = [&whole](const Asic_entry& entry) {
        return entry.bytes.data() >= whole.data() && entry.bytes.data() < whole.data() + whole.size();
    };
    const std::map<std::string, std::string> contents = {{"grande.bin", large},
                                                         {"compresso.txt", "Testo compresso, testo compresso."},
                                                         {"vuoto.txt", ""},
                                                         {"META-INF/signature.p7s", "firma"}};
    for (const Asic_entry& entry : container->entries) {
        const std::string& content = contents.at(entry.name);
        EXPECT_EQ(entry.bytes.to_vector(), std::vector<uint8_t>(content.begin(), content.end())) << entry.name;
        // The digest made on the way is the digest of the bytes held.
        const auto digest = entry.digests.find(NID_sha256);
        ASSERT_NE(digest, entry.digests.end()) << entry.name;
        EXPECT_EQ(digest->second, sha256_of(entry.bytes.view())) << entry.name;
    }
    // Stored files are ranges of the container's bytes, deflated ones are inflated apart.
    EXPECT_TRUE(inside(*container->find("grande.bin")));
    EXPECT_TRUE(inside(*container->find("META-INF/signature.p7s")));
    EXPECT_FALSE(inside(*container->find("compresso.txt")));

    // A stored file changed in the archive is no range of it: refused as damaged.
    auto changed = make_zip({{"grande.bin", large, false}, {"META-INF/signature.p7s", "firma", false}});
    const std::vector<uint8_t> part(large.begin() + 100000, large.begin() + 100016);
    const auto at = std::search(changed.begin(), changed.end(), part.begin(), part.end());
    ASSERT_NE(at, changed.end());
    at[8] ^= 0x01;
    EXPECT_EQ(refusal(changed), Asic_text_damaged);
}

// Enough files that several threads read them: stored and deflated, held and not, each where the
// archive has it, with its own digest; a damaged file among the last read still refuses the whole.
TEST(Asic_container, many_files_read_side_by_side_keep_their_order_and_digests)
{
    std::vector<Zip_spec> files;
    for (size_t n = 0; n < 24; ++n) {
        std::string data(400 * 1024 + n, '\0');
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>(((i + n * 7919) * 2654435761u) >> 13);
        files.push_back({"file-" + std::to_string(n) + ".bin", std::move(data), n % 3 != 0});
    }
    files.push_back({"META-INF/signature.p7s", "firma", false});
    const Document_bytes whole(make_zip(files));
    Asic_limits limits;
    limits.held_size = 2 * 1024 * 1024;
    std::string problem;
    const auto container = read_asic_container(whole, problem, limits);
    ASSERT_TRUE(container) << problem;
    ASSERT_EQ(container->entries.size(), files.size());
    size_t again = 0;
    for (size_t n = 0; n < files.size(); ++n) {
        const Asic_entry& entry = container->entries[n];
        const std::vector<uint8_t> expected(files[n].data.begin(), files[n].data.end());
        EXPECT_EQ(entry.name, files[n].name);
        EXPECT_EQ(entry.bytes.to_vector(), expected) << entry.name;
        EXPECT_EQ(entry.digests.at(NID_sha256), sha256_of(expected)) << entry.name;
        again += entry.bytes.is_encoded() ? 1 : 0;
    }
    // 2 MiB hold five of the deflated files; the other eleven are inflated again at each reading.
    EXPECT_EQ(again, 11u);

    for (const bool stored : {true, false}) {
        files[22].compress = !stored;
        auto damaged = make_zip(files);
        // A byte of its data, a little past its name in its local header.
        const std::string name = files[22].name;
        const auto at = std::search(damaged.begin(), damaged.end(), name.begin(), name.end());
        ASSERT_NE(at, damaged.end());
        at[200] ^= 0x40;
        EXPECT_EQ(refusal(damaged, limits), Asic_text_damaged) << stored;
    }
}

// The archive of one file with the uncompressed size in both of its headers rewritten to claimed.
std::vector<uint8_t> claiming_size(const Zip_spec& file, uint32_t claimed)
{
    auto bytes = make_zip({file});
    const std::string central = "PK\x01\x02";
    const auto directory = std::search(bytes.begin(), bytes.end(), central.begin(), central.end());
    EXPECT_NE(directory, bytes.end());
    for (auto field : {bytes.begin() + 22, directory + 24})
        for (int i = 0; i < 4; ++i)
            field[i] = static_cast<uint8_t>(claimed >> (8 * i));
    return bytes;
}

TEST(Asic_container, deflated_files_past_the_held_limit_are_inflated_again_at_each_reading)
{
    std::string first(200 * 1024, '\0');
    std::string second(300 * 1024 + 11, '\0');
    for (size_t i = 0; i < second.size(); ++i) {
        if (i < first.size())
            first[i] = static_cast<char>((i * 40503u) >> 7);
        second[i] = static_cast<char>((i * 2654435761u) >> 11);
    }
    second.replace(0, 9, "%PDF-1.7\n");
    const std::string small = "Piccolo, tenuto in memoria comunque.";
    const Document_bytes whole(make_zip({{"primo.bin", first, true},
                                         {"secondo.bin", second, true},
                                         {"piccolo.txt", small, true},
                                         {"META-INF/signature.p7s", "firma", true}}));
    std::string problem;
    Asic_limits limits;
    limits.held_size = 256 * 1024;
    const auto container = read_asic_container(whole, problem, limits);
    ASSERT_TRUE(container) << problem;
    // The first fits the limit and is held; the second would pass it; a file of one slice is held
    // whatever the limit.
    EXPECT_FALSE(container->find("primo.bin")->bytes.is_encoded());
    const Document_bytes& made = container->find("secondo.bin")->bytes;
    EXPECT_TRUE(made.is_encoded());
    EXPECT_FALSE(container->find("piccolo.txt")->bytes.is_encoded());
    // What the file not held is was told while it was read, so that telling it needs no second
    // inflating; a held one is told from its bytes.
    EXPECT_EQ(container->find("secondo.bin")->kind, Document_types::Pdf);
    EXPECT_FALSE(container->find("primo.bin")->kind);

    ASSERT_EQ(made.size(), second.size());
    const std::vector<uint8_t> expected(second.begin(), second.end());
    EXPECT_EQ(made.head(100), std::vector<uint8_t>(expected.begin(), expected.begin() + 100));
    // Read again in slices, whole and in part, and the same after it was once held whole.
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<uint8_t> read;
        EXPECT_TRUE(made.read_slices([&read](std::span<const uint8_t> slice) {
            read.insert(read.end(), slice.begin(), slice.end());
            return true;
        }));
        EXPECT_EQ(read, expected) << pass;
        EXPECT_EQ(made.range(70000, 5000).to_vector(),
                  std::vector<uint8_t>(expected.begin() + 70000, expected.begin() + 75000))
            << pass;
        EXPECT_EQ(made.to_vector(), expected) << pass;
    }
    EXPECT_EQ(container->find("secondo.bin")->digests.at(NID_sha256), sha256_of(expected));
    EXPECT_TRUE(made.intact());
}

TEST(Asic_container, a_declared_size_its_compressed_bytes_cannot_make_is_damaged)
{
    // 64 KiB of "a" deflate to a few hundred bytes: 200 MiB is more than deflate makes of them,
    // and is refused without room made for it.
    const std::string text(64 * 1024, 'a');
    EXPECT_EQ(refusal(claiming_size({"a.txt", text, true}, 200u * 1024 * 1024)), Asic_text_damaged);
    // A stored file whose compressed size says otherwise.
    EXPECT_EQ(refusal(claiming_size({"a.txt", text, false}, 200u * 1024 * 1024)), Asic_text_damaged);
    // The true size is read.
    EXPECT_EQ(refusal(claiming_size({"a.txt", text, true}, 64 * 1024)), "");
}

TEST(Asic_container, containers_are_told_by_content)
{
    EXPECT_TRUE(looks_like_asic_container(simple_container()));
    EXPECT_EQ(document_type_by_content(simple_container()), Document_types::Asic_container);
    // Without "mimetype": by the signature files of META-INF.
    for (const std::string name : {"META-INF/signature.p7s", "META-INF/signatures001.xml", "META-INF/ASiCManifest1.xml",
                                   "META-INF/timestamp.tst", "META-INF/ASiCArchiveManifest.xml"})
        EXPECT_TRUE(looks_like_asic_container(make_zip({{"a.txt", "a"}, {name, "x"}}))) << name;
    // Other archives that have a META-INF: an office document's manifest, a signed program's files.
    EXPECT_FALSE(looks_like_asic_container(make_zip({{"content.xml", "<a/>"}, {"META-INF/manifest.xml", "<m/>"}})));
    EXPECT_FALSE(looks_like_asic_container(make_zip({{"a.class", "x"}, {"META-INF/MANIFEST.MF", "x"}})));
    EXPECT_EQ(document_type_by_content(make_zip({{"word/document.xml", "<w/>"}})), Document_types::Unsupported);
    // A damaged container is still one, to be refused as damaged.
    const auto whole = make_zip({{"a.txt", "a"}, {"META-INF/signature.p7s", "x"}});
    EXPECT_TRUE(looks_like_asic_container(std::span(whole).first(whole.size() - 30)));
    // By name when the bytes say nothing.
    for (const std::string name : {"a.asics", "a.SCS", "a.asice", "a.sce", "a.bdoc", "a.edoc"})
        EXPECT_EQ(document_type_of(name), Document_types::Asic_container) << name;
    EXPECT_EQ(document_type_of("a.zip"), Document_types::Unsupported);
    EXPECT_TRUE(is_signed_container(Document_types::Asic_container));
}

TEST(Asic_container, reference_uris_name_only_files_of_the_container)
{
    EXPECT_EQ(asic_entry_name_of_uri("contratto.txt"), "contratto.txt");
    EXPECT_EQ(asic_entry_name_of_uri("./allegati/allegato%20tecnico.txt"), "allegati/allegato tecnico.txt");
    EXPECT_EQ(asic_entry_name_of_uri("perch%C3%A9.txt"), "perch\xC3\xA9.txt");
    for (const std::string uri : {"", "http://example.org/a.txt", "file:///etc/passwd", "/etc/passwd", "../a.txt",
                                  "a/%2E%2E/%2E%2E/b", "#id", "a.txt#x", "a%2", "a%zz", "C:/a", "META-INF/"})
        EXPECT_FALSE(asic_entry_name_of_uri(uri)) << uri;
}

std::string sha256_base64(const std::string& data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr);
    std::string text(4 * ((size + 2) / 3) + 1, '\0');
    text.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), digest, size)));
    return text;
}

std::string manifest_text(const std::vector<std::pair<std::string, std::string>>& references,
                          const std::string& algorithm = "http://www.w3.org/2001/04/xmlenc#sha256")
{
    std::string text = "<ASiCManifest xmlns=\"http://uri.etsi.org/02918/v1.2.1#\" "
                       "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><SigReference URI=\"META-INF/s.p7s\"/>";
    for (const auto& [uri, digest] : references)
        text += "<DataObjectReference URI=\"" + uri + "\"><ds:DigestMethod Algorithm=\"" + algorithm +
                "\"/><ds:DigestValue>" + digest + "</ds:DigestValue></DataObjectReference>";
    return text + "</ASiCManifest>";
}

std::optional<Asic_manifest> manifest_of(const std::string& text, std::string& problem)
{
    return read_asic_manifest(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), problem);
}

TEST(Asic_manifest, each_listed_file_is_covered_only_when_its_digest_holds)
{
    const auto bytes = make_zip({{"a b.txt", "primo"}, {"c.txt", "secondo"}, {"META-INF/s.p7s", "firma"}});
    std::string problem;
    const auto container = read_asic_container(bytes, problem);
    ASSERT_TRUE(container) << problem;

    auto manifest = manifest_of(
        manifest_text({{"a%20b.txt", sha256_base64("primo")}, {"c.txt", sha256_base64("secondo")}}), problem);
    ASSERT_TRUE(manifest) << problem;
    EXPECT_EQ(manifest->signature_uri, "META-INF/s.p7s");
    Asic_coverage coverage = check_manifest_references(*manifest, *container);
    EXPECT_TRUE(coverage.holds());
    EXPECT_EQ(coverage.covers, (std::vector<std::string>{"a b.txt", "c.txt"}));

    // A digest over other bytes: a mismatch; the file that holds stays covered.
    manifest = manifest_of(manifest_text({{"a%20b.txt", sha256_base64("altro")}, {"c.txt", sha256_base64("secondo")}}),
                           problem);
    coverage = check_manifest_references(*manifest, *container);
    EXPECT_TRUE(coverage.mismatch);
    EXPECT_FALSE(coverage.holds());
    EXPECT_EQ(coverage.covers, std::vector<std::string>{"c.txt"});

    // A listed file the container lacks, and one outside it.
    for (const std::string uri : {"manca.txt", "../c.txt", "http://example.org/c.txt"}) {
        manifest = manifest_of(manifest_text({{uri, sha256_base64("secondo")}}), problem);
        ASSERT_TRUE(manifest) << problem;
        coverage = check_manifest_references(*manifest, *container);
        EXPECT_FALSE(coverage.holds()) << uri;
        EXPECT_NE(coverage.problem.find("indicato dalla firma non è presente nel contenitore"), std::string::npos);
        EXPECT_TRUE(coverage.covers.empty());
    }
    // An algorithm we do not know is no match either.
    manifest = manifest_of(manifest_text({{"c.txt", sha256_base64("secondo")}}, "urn:ignoto"), problem);
    coverage = check_manifest_references(*manifest, *container);
    EXPECT_EQ(coverage.problem, Asic_text_digest_algorithm);
    EXPECT_TRUE(coverage.covers.empty());

    // One file named again and again under another algorithm is hashed with it once, for every
    // manifest of the container.
    manifest = manifest_of(manifest_text(std::vector<std::pair<std::string, std::string>>(500, {"c.txt", "AAAA"}),
                                         "http://www.w3.org/2001/04/xmlenc#sha512"),
                           problem);
    ASSERT_TRUE(manifest) << problem;
    EXPECT_TRUE(check_manifest_references(*manifest, *container).mismatch);
    EXPECT_EQ(container->find("c.txt")->digests.at(EVP_MD_type(EVP_sha512())).size(), 64u);
}

TEST(Asic_manifest, malformed_manifests_are_refused)
{
    std::string problem;
    for (const std::string& text :
         {std::string("<a/>"), std::string("non XML"), manifest_text({}), manifest_text({{"c.txt", ""}}),
          std::string("<ASiCManifest xmlns=\"http://uri.etsi.org/02918/v1.2.1#\"><DataObjectReference URI=\"c\"/>"
                      "</ASiCManifest>"),
          std::string("<!DOCTYPE a [<!ENTITY e \"x\">]>") + manifest_text({{"c.txt", sha256_base64("x")}})}) {
        EXPECT_FALSE(manifest_of(text, problem)) << text;
        EXPECT_EQ(problem, Asic_text_manifest_unreadable) << text;
    }
    EXPECT_EQ(asic_uncovered_file_text("nota\n.txt"),
              "Il file \"nota?.txt\" del contenitore non è coperto da alcuna firma.");
}

TEST(Asic_manifest, an_archive_manifest_is_read_under_its_own_root_only)
{
    std::string text = manifest_text({{"c.txt", sha256_base64("secondo")}});
    std::string archive = text;
    archive.replace(archive.find("<ASiCManifest "), 13, "<ASiCArchiveManifest");
    archive.replace(archive.rfind("</ASiCManifest>"), 15, "</ASiCArchiveManifest>");
    const auto bytes = [](const std::string& from) {
        return std::span(reinterpret_cast<const uint8_t*>(from.data()), from.size());
    };
    std::string problem;
    const auto read = read_asic_manifest(bytes(archive), problem, Asic_archive_manifest_root);
    ASSERT_TRUE(read) << problem << "\n" << archive;
    EXPECT_EQ(read->signature_uri, "META-INF/s.p7s");
    ASSERT_EQ(read->references.size(), 1u);
    EXPECT_EQ(read->references[0].uri, "c.txt");
    // Neither stands for the other: a signature's manifest is not an archive one, nor the reverse.
    EXPECT_FALSE(read_asic_manifest(bytes(archive), problem));
    EXPECT_EQ(problem, Asic_text_manifest_unreadable);
    EXPECT_FALSE(read_asic_manifest(bytes(text), problem, Asic_archive_manifest_root));
    EXPECT_EQ(problem, Asic_text_manifest_unreadable);
}

} // namespace
} // namespace velin
