// The small pieces of envelope decoding: file types, the value-with-state wrapper, UTCTime
// conversion, the OpenSSL error text and whole-file input and output.
#include "common/openssl_error.h"
#include "envelope/asn1_utctime.h"
#include "envelope/assignable.h"
#include "envelope/binary_file.h"
#include "envelope/document_types.h"
#include "envelope_builder.h"
#include "test_folder.h"
#include "trace_records.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <openssl/err.h>
#include <openssl/x509.h>

#include <sys/stat.h>

namespace {

using namespace velin;

// Every test of this program (its other sources too) runs in a private folder, made first.
const bool environment_ready = (test::private_environment(), true);

using velin::test::assertion_text;

TEST(Document_types, extension_decides_the_kind_whatever_its_case)
{
    EXPECT_EQ(document_type_of("/home/utente/DOC.PDF.P7M"), Document_types::Envelope);
    EXPECT_EQ(document_type_of("contratto.pdf.p7m"), Document_types::Envelope);
    EXPECT_EQ(document_type_of("atto.M7m"), Document_types::Multipart);
    EXPECT_EQ(document_type_of("modulo.pdf"), Document_types::Pdf);
    EXPECT_EQ(document_type_of("firma.P7S"), Document_types::Envelope);
    EXPECT_EQ(document_type_of("atto.pdf.tsd"), Document_types::Timestamped_data);
    EXPECT_EQ(document_type_of("firma.p7x"), Document_types::Unsupported);
    EXPECT_EQ(document_type_of("senza_estensione"), Document_types::Unsupported);
    // The dot must be in the last path component.
    EXPECT_EQ(document_type_of("/tmp/cartella.p7m/file"), Document_types::Unsupported);
    EXPECT_EQ(document_type_of("finisce.con.punto."), Document_types::Unsupported);
    EXPECT_EQ(lower_case_extension("A/B.C/nome.P7M"), "p7m");
}

TEST(Assignable, value_is_readable_only_once_assigned)
{
    Assignable<int> value;
    EXPECT_EQ(value.state(), Assignable_state::Pending);
    EXPECT_EQ(assertion_text([&] { (void)value.value(); }), "Assertion failed: is_assigned ()");
    value.set_failed("La lettura delle firme è fallita.");
    EXPECT_EQ(value.state(), Assignable_state::Failed);
    EXPECT_EQ(value.message(), "La lettura delle firme è fallita.");
    EXPECT_EQ(assertion_text([&] { (void)value.value(); }), "Assertion failed: is_assigned ()");
    value.assign(7);
    EXPECT_TRUE(value.is_assigned());
    EXPECT_EQ(value.value(), 7);
    EXPECT_TRUE(value.message().empty());
    value.set_unavailable();
    EXPECT_EQ(value.state(), Assignable_state::Unavailable);
    EXPECT_FALSE(value.is_assigned());
}

TEST(Asn1_utctime, converts_within_the_1969_to_2068_window)
{
    struct Case {
        const char* text;
        System_time expected;
    };
    const Case cases[] = {
        {"491231235959Z", {2049, 12, 0, 31, 23, 59, 59, 0}}, {"700101000000Z", {1970, 1, 0, 1, 0, 0, 0, 0}},
        {"690101000000Z", {1969, 1, 0, 1, 0, 0, 0, 0}},      {"681231235959Z", {2068, 12, 0, 31, 23, 59, 59, 0}},
        {"240229120000Z", {2024, 2, 0, 29, 12, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        Asn1_utctime_as_system_time time(c.text);
        ASSERT_TRUE(time.succeeded()) << c.text;
        EXPECT_EQ(time.value(), c.expected) << c.text;
    }
}

TEST(Asn1_utctime, anything_but_a_real_utc_time_fails)
{
    // Too few numbers, a time-zone offset that would be shown as UTC, impossible dates, signs
    // and spaces that a field-by-field scan would accept.
    for (const char* text : {"", "4912312359Z", "491231235959", "491231235959+0100", "491331235959Z", "230229120000Z",
                             "490431000000Z", "491231245959Z", "491231236059Z", "4912312359-1Z", " 91231235959Z",
                             "491231235959Z0", "4912312359\xff\xffZ"}) {
        Asn1_utctime_as_system_time time(text);
        EXPECT_FALSE(time.succeeded()) << text;
        EXPECT_EQ(time.message(), "bad UTCTIME format") << text;
    }
    EXPECT_TRUE(test::traced(Level_trace, {"bad UTCTIME format"}));
}

TEST(Openssl_error_text, lists_the_queue_oldest_first_and_empties_it)
{
    ERR_clear_error();
    const unsigned char garbage[] = {0x30, 0x03, 0x02, 0x01};
    const unsigned char* in = garbage;
    ASSERT_EQ(d2i_X509(nullptr, &in, sizeof garbage), nullptr);
    const unsigned long oldest = ERR_peek_error();
    ASSERT_NE(oldest, 0u);
    const std::string text = openssl_error_text();
    EXPECT_EQ(ERR_peek_error(), 0u);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::string first = text.substr(0, text.find('\n'));
    EXPECT_EQ(first.rfind("Libreria: ", 0), 0u) << first;
    EXPECT_NE(first.find(std::string("Libreria: ") + ERR_lib_error_string(oldest) + ";"), std::string::npos);
    EXPECT_NE(first.find("Funzione: "), std::string::npos) << first;
    EXPECT_NE(first.find(std::string("Causa: ") + ERR_reason_error_string(oldest) + "."), std::string::npos);
    EXPECT_EQ(openssl_error_text(), "");
}

TEST(Binary_file_read, reads_whole_files_and_names_every_failure)
{
    test::Test_folder folder;
    test::write_file(folder / "dati.p7m", std::string("ab\0cd", 5));
    Binary_file_read present((folder / "dati.p7m").string());
    ASSERT_TRUE(present.succeeded());
    EXPECT_EQ(present.value(), (std::vector<uint8_t>{'a', 'b', 0, 'c', 'd'}));

    Binary_file_read missing((folder / "manca.p7m").string());
    EXPECT_EQ(missing.result(), File_not_found);
    EXPECT_EQ(missing.message(), "Impossibile aprire il file specificato.");

    test::write_file(folder / "vuoto.p7m", "");
    Binary_file_read empty((folder / "vuoto.p7m").string());
    EXPECT_EQ(empty.result(), File_empty);
    EXPECT_EQ(empty.message(), "Il file è vuoto.");
    EXPECT_TRUE(test::traced(Level_trace, {empty.message()}));

    // A folder opens but cannot be read; a FIFO must not block the reader.
    Binary_file_read directory(folder.path().string());
    EXPECT_EQ(directory.result(), File_read_failed);
    EXPECT_EQ(directory.message(), "Errore durante la lettura del file.");
    ASSERT_EQ(::mkfifo((folder / "coda.p7m").c_str(), 0600), 0);
    Binary_file_read fifo((folder / "coda.p7m").string());
    EXPECT_EQ(fifo.result(), File_empty);

    Binary_file_read below_a_file("/dev/null/x.p7m");
    EXPECT_EQ(below_a_file.result(), File_read_failed);
    EXPECT_EQ(below_a_file.message(), "Impossibile aprire il file specificato.");

    EXPECT_EQ(assertion_text([] { Binary_file_read unnamed(""); }), "Assertion failed: not is_empty (file_name)");
}

TEST(Binary_file_read, a_prefix_chosen_from_the_head_is_kept_apart)
{
    test::Test_folder folder;
    std::string content(Binary_file_read::Head_size + 5000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 + i / 251);
    test::write_file(folder / "grande.p7m", content);
    const std::vector<uint8_t> bytes = test::as_bytes(content);

    size_t seen_head = 0;
    uint64_t seen_size = 0;
    for (size_t chosen : {size_t{0}, size_t{100}, Binary_file_read::Head_size, Binary_file_read::Head_size + 1000}) {
        Binary_file_read reader;
        ASSERT_TRUE(reader.read((folder / "grande.p7m").string(), [&](std::span<const uint8_t> head, uint64_t size) {
            seen_head = head.size();
            seen_size = size;
            EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
            return chosen;
        }));
        EXPECT_EQ(seen_head, Binary_file_read::Head_size);
        EXPECT_EQ(seen_size, bytes.size());
        // More than the head is never taken.
        const size_t taken = std::min(chosen, Binary_file_read::Head_size);
        EXPECT_EQ(reader.prefix(), std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(taken)));
        EXPECT_EQ(reader.value(), std::vector<uint8_t>(bytes.begin() + static_cast<ptrdiff_t>(taken), bytes.end()));
    }

    // A file shorter than the head is all head; its failures are those of the plain reading.
    test::write_file(folder / "piccolo.p7m", "abcdef");
    Binary_file_read small;
    ASSERT_TRUE(small.read((folder / "piccolo.p7m").string(), [&](std::span<const uint8_t> head, uint64_t) {
        seen_head = head.size();
        return size_t{2};
    }));
    EXPECT_EQ(seen_head, 6u);
    EXPECT_EQ(small.prefix(), test::as_bytes("ab"));
    EXPECT_EQ(small.value(), test::as_bytes("cdef"));
    test::write_file(folder / "vuoto.p7m", "");
    Binary_file_read empty;
    EXPECT_FALSE(
        empty.read((folder / "vuoto.p7m").string(), [](std::span<const uint8_t>, uint64_t) { return size_t{0}; }));
    EXPECT_EQ(empty.message(), "Il file è vuoto.");
    Binary_file_read directory;
    EXPECT_FALSE(directory.read(folder.path().string(), [](std::span<const uint8_t>, uint64_t) { return size_t{1}; }));
    EXPECT_EQ(directory.message(), "Errore durante la lettura del file.");
    EXPECT_TRUE(directory.prefix().empty());
}

TEST(Binary_file_read, small_files_are_read_and_larger_ones_mapped_with_the_same_bytes)
{
    test::Test_folder folder;
    const uint64_t threshold = Binary_file_read::mapping_threshold();
    ASSERT_EQ(threshold, 1024u * 1024u);
    std::string content(threshold + 1, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 13 + i / 509);
    const std::string at_threshold = content.substr(0, threshold);
    test::write_file(folder / "soglia.p7m", at_threshold);
    test::write_file(folder / "oltre.p7m", content);
    const auto read = [&](const char* name, bool mapped) {
        Binary_file_read reader;
        EXPECT_TRUE(reader.read_mapped((folder / name).string())) << name;
        const Document_bytes bytes = reader.take_bytes();
        EXPECT_EQ(bytes.mapped(), mapped) << name;
        return std::string(bytes.begin(), bytes.end());
    };
    EXPECT_EQ(read("soglia.p7m", false), at_threshold);
    EXPECT_EQ(read("oltre.p7m", true), content);
    // Lowered, as the tests of the mapped path do: then even a small file is mapped.
    Binary_file_read::set_mapping_threshold(0);
    EXPECT_EQ(read("soglia.p7m", true), at_threshold);
    Binary_file_read::set_mapping_threshold(threshold);

    // The failures are those of the plain reading, whichever way the file would have gone.
    test::write_file(folder / "vuoto.p7m", "");
    Binary_file_read empty;
    EXPECT_FALSE(empty.read_mapped((folder / "vuoto.p7m").string()));
    EXPECT_EQ(empty.message(), "Il file è vuoto.");
    ASSERT_EQ(::mkfifo((folder / "coda.p7m").c_str(), 0600), 0);
    Binary_file_read fifo;
    EXPECT_FALSE(fifo.read_mapped((folder / "coda.p7m").string()));
    EXPECT_EQ(fifo.result(), File_empty);
    Binary_file_read missing;
    EXPECT_FALSE(missing.read_mapped((folder / "manca.p7m").string()));
    EXPECT_EQ(missing.result(), File_not_found);
}

TEST(Binary_file_write, creates_or_truncates_with_default_permissions)
{
    test::Test_folder folder;
    const auto path = folder / "documento.pdf";
    const std::vector<uint8_t> long_content(100000, 'x');
    const std::vector<uint8_t> short_content{'o', 'k'};

    const std::size_t mark = test::trace_mark();
    const mode_t previous = ::umask(022);
    Binary_file_write first;
    EXPECT_TRUE(first.write(long_content, path.string()));
    EXPECT_EQ(first.result(), 0u);
    Binary_file_write second;
    EXPECT_TRUE(second.write(short_content, path.string()));
    ::umask(previous);
    EXPECT_EQ(test::read_file(path), "ok");
    struct stat attributes {};
    ASSERT_EQ(::stat(path.c_str(), &attributes), 0);
    EXPECT_EQ(attributes.st_mode & 0777, 0644u);
    // Each write is traced with the file it goes to.
    EXPECT_EQ(test::count_traced(Level_info, {path.string()}, mark), 2u);

    // An empty document gives an empty file.
    Binary_file_write empty;
    EXPECT_TRUE(empty.write({}, path.string()));
    EXPECT_EQ(test::read_file(path), "");

    // A private copy is 0600 whatever the umask, and a link in its place is not followed.
    Binary_file_write private_copy;
    EXPECT_TRUE(
        private_copy.write(short_content, (folder / "anteprima.pdf").string(), Binary_file_write::Private_copy));
    ASSERT_EQ(::stat((folder / "anteprima.pdf").c_str(), &attributes), 0);
    EXPECT_EQ(attributes.st_mode & 0777, 0600u);
    std::filesystem::create_symlink(path, folder / "collegamento.pdf");
    Binary_file_write through_link;
    EXPECT_FALSE(
        through_link.write(short_content, (folder / "collegamento.pdf").string(), Binary_file_write::Private_copy));
    EXPECT_EQ(test::read_file(path), "");

    const std::size_t failing = test::trace_mark();
    Binary_file_write impossible;
    EXPECT_FALSE(impossible.write(short_content, "/dev/null/documento.pdf"));
    EXPECT_EQ(impossible.result(), 3u);
    EXPECT_EQ(impossible.message(), "Impossibile trovare il percorso specificato.");
    EXPECT_EQ(test::count_traced(Level_error, {}, failing), 1u);
}

} // namespace
