// The Java machine in our own process: which runtime is chosen, what a missing runtime or a
// runtime without its library does, many threads starting it at once, then signed PDFs read by
// the PDF classes while our fault handlers are installed (a Java exception on the way, and an
// arithmetic fault of ours after the machine started, still ours to translate): the forms of
// signature, byte ranges that are not a signature's own, and many PDFs and envelopes verified at
// once by the program. The machine is made once per process, so the failures come first.
#include "VelinVerify/app/batch_report.h"
#include "batch_verifier.h"
#include "common/failure.h"
#include "generated_fixtures.h"
#include "java_bridge/java_vm.h"
#include "java_bridge/pdf_classes.h"
#include "java_bridge/pdf_verify.h"
#include "java_bridge/revision_changes.h"
#include "report_time.h"
#include "test_folder.h"
#include "trace_records.h"

#include <gtest/gtest.h>

#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iostream>
#include <latch>
#include <numeric>
#include <optional>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velin {
namespace {

namespace fs = std::filesystem;

std::string subject_of(const Signer_certificate& certificate)
{
    char text[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate.x509()), NID_commonName, text, sizeof text);
    return text;
}

// The PDFs of tests/fixtures/pdf, made once for the whole run (in pdfs/ of the fixture's folder).
const fs::path& pdfs()
{
    static const test::Generated_fixtures made(VELIN_GENERATED_PDFS, [](const fs::path& folder) {
        return std::string(VELIN_MAKE_PDFS) + " '" + (folder / "pdfs").string() + "' " + VELIN_PKI_FIXTURES;
    });
    static const fs::path folder = made.path().empty() ? fs::path() : made.path() / "pdfs";
    EXPECT_FALSE(folder.empty()) << made.failure();
    return folder;
}

Pdf_verify verified(const std::string& name)
{
    Pdf_verify pdf;
    pdf.parse(test::read_bytes(pdfs() / name));
    return pdf;
}

bool intact(Pdf_verify& pdf, size_t index)
{
    pdf.select_signature(index);
    const Assignable<Signature_integrity> integrity = pdf.signature_integrity();
    return integrity.is_assigned() && integrity.value() == Signature_integrity::Intact;
}

size_t occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

void write_release(const fs::path& home, const std::string& version)
{
    fs::create_directories(home);
    test::write_file(home / "release", "IMPLEMENTOR=\"Test\"\nJAVA_VERSION=\"" + version + "\"\n");
}

TEST(Java_runtime, the_setting_then_the_systems_default_then_the_newest)
{
    test::private_environment();
    test::Test_folder root;
    write_release(root / "java-11-openjdk-amd64", "11.0.20");
    write_release(root / "java-17-openjdk-amd64", "17.0.9");
    write_release(root / "java-8-openjdk-amd64", "1.8.0_392");
    fs::create_directories(root / "not-a-runtime");
    const Runtime_table table = installed_runtimes(root.path().string());
    EXPECT_EQ(table.size(), 3u);
    EXPECT_EQ(choose_runtime("", root.path().string())->home, (root / "java-17-openjdk-amd64").string());
    EXPECT_EQ(choose_runtime("/opt/java", root.path().string())->home, "/opt/java");
    EXPECT_EQ(choose_runtime("/opt/java")->library(), "/opt/java/lib/server/libjvm.so");
    write_release(root / "default-java", "11.0.20");
    EXPECT_EQ(choose_runtime("", root.path().string())->home, (root / "default-java").string());
    const std::size_t mark = test::trace_mark();
    EXPECT_FALSE(choose_runtime("", (root / "not-a-runtime").string()));
    EXPECT_TRUE(test::traced(Level_info, {"Java"}, mark));

    EXPECT_EQ(jni_result_text(-3), "Versione Java non disponibile");
    EXPECT_EQ(jni_result_text(-7), "-7");
    const std::vector<std::string> jars = class_path_jars("/opt/velin/java");
    EXPECT_EQ(jars.front(), "/opt/velin/java/sigillo.jar");
    EXPECT_EQ(jars.back(), "/opt/velin/java/commons-logging.jar");
}

TEST(Java_runtime, without_a_runtime_or_its_library_no_machine_starts)
{
    test::private_environment();
    test::Test_folder empty;
    Java_vm& machine = Java_vm::instance();
    int asked = 0;
    machine.set_no_runtime_handler([&asked] { ++asked; });
    machine.set_sources_for_tests(empty.path().string(), std::string(), VELIN_JAVA_FOLDER);
    EXPECT_EQ(machine.start(), Jvm_failed);
    EXPECT_EQ(asked, 1);
    // Started ahead on a thread of its own: no box there and nothing prepared; the next start
    // tells the user what it found, without looking for a runtime again.
    bool prepared = false;
    {
        const Jvm_start_ahead ahead(1024, [&prepared](JNIEnv*) { prepared = true; });
    }
    EXPECT_FALSE(prepared);
    EXPECT_EQ(asked, 1);
    const size_t looked = occurrences(test::trace_content(), "Java non rilevato.");
    EXPECT_EQ(machine.start(), Jvm_failed);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(occurrences(test::trace_content(), "Java non rilevato."), looked);
    // A home without the machine's library: no box, the reason in the trace.
    machine.set_sources_for_tests(Runtime_root, empty.path().string(), VELIN_JAVA_FOLDER);
    const std::size_t mark = test::trace_mark();
    EXPECT_EQ(machine.start(), Jvm_failed);
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(test::traced(Level_info, {"libreria"}, mark));
    // A PDF then cannot be read, and says so without a crash.
    Pdf_verify pdf;
    pdf.parse(test::read_bytes(pdfs() / "signed.pdf"));
    EXPECT_EQ(pdf.outcome(), Pdf_outcome::No_java);
    machine.set_no_runtime_handler(nullptr);
}

TEST(Java_runtime, only_a_regular_file_that_reads_as_a_pdf_has_the_machine_started_ahead)
{
    test::Test_folder folder;
    const std::string pdf = "junk\n%PDF-1.7\n" + std::string(20000, 'x');
    test::write_file(folder / "a.pdf", pdf);
    EXPECT_EQ(pdf_file_size((folder / "a.pdf").string()), pdf.size());
    // An envelope that carries a PDF, a PDF's name on something else, an empty file, no file.
    const std::string pki = VELIN_PKI_FIXTURES;
    const std::string sign = "openssl cms -sign -binary -nodetach -outform DER -in " + (folder / "a.pdf").string() +
                             " -signer " + pki + "/signer-legal.cert.pem -inkey " + pki +
                             "/signer-legal.key.pem -out " + (folder / "signed.p7m").string();
    ASSERT_EQ(std::system(sign.c_str()), 0) << sign;
    test::write_file(folder / "text.pdf", "solo testo");
    test::write_file(folder / "empty.pdf", "");
    for (const char* name : {"signed.p7m", "text.pdf", "empty.pdf", "missing.pdf"})
        EXPECT_FALSE(pdf_file_size((folder / name).string())) << name;
    // A pipe is neither waited on nor read: what its writer sends is left for the run.
    const std::string pipe = (folder / "pipe.pdf").string();
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_FALSE(pdf_file_size(pipe));
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int writer = ::open(pipe.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(::write(writer, "%PDF-1.7", 8), 8);
    EXPECT_FALSE(pdf_file_size(pipe));
    char sent[8] = {};
    EXPECT_EQ(::read(reader, sent, sizeof sent), 8);
    ::close(writer);
    ::close(reader);
}

TEST(Java_runtime, lanes_that_start_the_machine_at_once_all_use_the_one_machine)
{
    test::private_environment();
    Java_vm& machine = Java_vm::instance();
    machine.set_sources_for_tests(Runtime_root, std::string(), VELIN_JAVA_FOLDER);
    SEH_translation translation;
    const std::vector<uint8_t> document = test::read_bytes(pdfs() / "signed.pdf");
    const std::size_t mark = test::trace_mark();
    constexpr int Lanes = 8;
    std::latch ready(Lanes);
    std::vector<uint32_t> started(Lanes);
    std::vector<JavaVM*> found(Lanes);
    std::vector<int> intact_signatures(Lanes, -1);
    std::vector<std::thread> lanes;
    for (int n = 0; n < Lanes; ++n)
        lanes.emplace_back([&, n] {
            ready.arrive_and_wait();
            started[n] = machine.start();
            found[n] = machine.machine();
            Pdf_verify pdf;
            pdf.parse(document);
            intact_signatures[n] = pdf.outcome() == Pdf_outcome::Verified && intact(pdf, 0) ? 1 : 0;
        });
    for (std::thread& lane : lanes)
        lane.join();
    EXPECT_EQ(std::count(started.begin(), started.end(), Jvm_started), 1);
    EXPECT_EQ(std::count(started.begin(), started.end(), Jvm_already_running), Lanes - 1);
    EXPECT_NE(found[0], nullptr);
    EXPECT_EQ(std::count(found.begin(), found.end(), found[0]), Lanes);
    EXPECT_EQ(std::count(intact_signatures.begin(), intact_signatures.end(), 1), Lanes);
    // No lane's start failed in the machine's own interface (a second machine refused, say).
    EXPECT_EQ(test::count_traced(Level_error, {"JNI"}, mark), 0u);
}

class Pdf_verification : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::private_environment();
        Java_vm::instance().set_sources_for_tests(Runtime_root, std::string(), VELIN_JAVA_FOLDER);
    }
    // Our handlers are in place before the machine starts, as in the programs.
    SEH_translation translation;
};

TEST_F(Pdf_verification, signers_times_and_integrity_of_pdfs_made_elsewhere)
{
    const std::time_t made = std::time(nullptr);
    Pdf_verify signed_pdf = verified("signed.pdf");
    ASSERT_EQ(signed_pdf.outcome(), Pdf_outcome::Verified);
    ASSERT_EQ(signed_pdf.signatures_count(), 1u);
    EXPECT_TRUE(intact(signed_pdf, 0));
    ASSERT_TRUE(signed_pdf.certificate_read());
    EXPECT_EQ(subject_of(signed_pdf.signer_certificate()), "ROSSI MARIO");
    ASSERT_TRUE(signed_pdf.signing_time());
    struct tm when {};
    when.tm_year = signed_pdf.signing_time()->year - 1900;
    when.tm_mon = signed_pdf.signing_time()->month - 1;
    when.tm_mday = signed_pdf.signing_time()->day;
    when.tm_hour = signed_pdf.signing_time()->hour;
    when.tm_min = signed_pdf.signing_time()->minute;
    when.tm_sec = signed_pdf.signing_time()->second;
    EXPECT_LT(std::abs(timegm(&when) - made), 600);
    EXPECT_EQ(std::vector<uint8_t>(signed_pdf.content().begin(), signed_pdf.content().end()),
              test::read_bytes(pdfs() / "signed.pdf"));

    EXPECT_FALSE(signed_pdf.changed_after_signature());

    // Co-signed, and time-stamped: each signature matches its bytes, and the first one no longer
    // covers the file as it is.
    Pdf_verify twice = verified("signed-twice.pdf");
    ASSERT_EQ(twice.signatures_count(), 2u);
    EXPECT_TRUE(intact(twice, 0));
    EXPECT_TRUE(twice.changed_after_signature());
    EXPECT_TRUE(intact(twice, 1));
    EXPECT_FALSE(twice.changed_after_signature());
    EXPECT_NE(subject_of(twice.signer_certificate()), "ROSSI MARIO");

    Pdf_verify sha1 = verified("sha1.pdf");
    ASSERT_EQ(sha1.signatures_count(), 1u);
    EXPECT_TRUE(intact(sha1, 0));
    EXPECT_EQ(sha1.kind(0), "adbe.pkcs7.sha1");

    // The document time stamp is a time stamp of the file, not a signer: checked over its own
    // range, and covering the signature of the revision before it.
    Pdf_verify stamped = verified("timestamp.pdf");
    ASSERT_EQ(stamped.signatures_count(), 1u);
    EXPECT_TRUE(intact(stamped, 0));
    EXPECT_TRUE(stamped.changed_after_signature());
    const std::vector<Timestamp_info> timestamps = stamped.document_timestamps();
    ASSERT_EQ(timestamps.size(), 1u);
    EXPECT_EQ(timestamps[0].scope, Timestamp_scope::Document);
    EXPECT_TRUE(timestamps[0].read && timestamps[0].signature_valid && timestamps[0].imprint_matches)
        << timestamps[0].problem;
    EXPECT_EQ(timestamps[0].covered_signers, std::vector<size_t>{0});
    EXPECT_TRUE(stamped.validation_data().empty());
}

TEST_F(Pdf_verification, each_signature_and_document_time_stamp_says_where_its_revision_ends)
{
    // Where a revision ends its "%%EOF" line ends; the last one runs to the end of the file.
    const auto ends_a_revision = [](const std::vector<uint8_t>& bytes, uint64_t end) {
        const std::string text(bytes.begin(), bytes.end());
        return end > 0 && end <= text.size() && text.rfind("%%EOF", end) != std::string::npos &&
               text.find_first_not_of("\r\n", text.rfind("%%EOF", end) + 5) >= end;
    };
    const std::vector<uint8_t> twice = test::read_bytes(pdfs() / "signed-twice.pdf");
    Pdf_verify cosigned = verified("signed-twice.pdf");
    ASSERT_EQ(cosigned.signatures_count(), 2u);
    cosigned.select_signature(0);
    const uint64_t first = cosigned.signed_revision_end();
    cosigned.select_signature(1);
    const uint64_t second = cosigned.signed_revision_end();
    EXPECT_TRUE(ends_a_revision(twice, first)) << first;
    EXPECT_LT(first, second);
    EXPECT_EQ(second, twice.size());

    // A document time stamp closes the revision after the signature's.
    const std::vector<uint8_t> stamped_bytes = test::read_bytes(pdfs() / "timestamp.pdf");
    Pdf_verify stamped = verified("timestamp.pdf");
    stamped.select_signature(0);
    const std::vector<Timestamp_info> timestamps = stamped.document_timestamps();
    ASSERT_EQ(timestamps.size(), 1u);
    EXPECT_TRUE(ends_a_revision(stamped_bytes, stamped.signed_revision_end()));
    EXPECT_LT(stamped.signed_revision_end(), timestamps[0].revision_end);
    EXPECT_EQ(timestamps[0].revision_end, stamped_bytes.size());

    // Bytes after the signed revision belong to none.
    Pdf_verify appended = verified("appended.pdf");
    appended.select_signature(0);
    EXPECT_LT(appended.signed_revision_end(), test::read_bytes(pdfs() / "appended.pdf").size());
    EXPECT_EQ(appended.signed_revision_end(), test::read_bytes(pdfs() / "signed.pdf").size());
}

TEST_F(Pdf_verification, old_forms_are_checked_and_unknown_ones_are_not_called_a_mismatch)
{
    // A bare PKCS#1 signature with the certificate in /Cert, alone or first of an array.
    for (const char* name : {"x509.pdf", "x509-chain.pdf"}) {
        SCOPED_TRACE(name);
        Pdf_verify pdf = verified(name);
        ASSERT_EQ(pdf.outcome(), Pdf_outcome::Verified);
        ASSERT_EQ(pdf.signatures_count(), 1u);
        EXPECT_EQ(pdf.kind(0), "adbe.x509.rsa_sha1");
        EXPECT_TRUE(intact(pdf, 0));
        ASSERT_TRUE(pdf.certificate_read());
        EXPECT_EQ(subject_of(pdf.signer_certificate()), "ROSSI MARIO");
        EXPECT_TRUE(pdf.signing_time());
        EXPECT_EQ(pdf.digest_algorithm(), NID_sha1);
        EXPECT_EQ(pdf.unchecked_text(), "");
    }
    // Checked, and not matching: a changed page, a signature without its certificate.
    for (const char* name : {"x509-tampered.pdf", "x509-no-cert.pdf"}) {
        Pdf_verify pdf = verified(name);
        ASSERT_EQ(pdf.signatures_count(), 1u) << name;
        EXPECT_FALSE(intact(pdf, 0)) << name;
        EXPECT_EQ(pdf.unchecked_text(), "") << name;
    }
    Pdf_verify sha1 = verified("sha1.pdf");
    sha1.select_signature(0);
    EXPECT_EQ(sha1.digest_algorithm(), NID_sha1);
    Pdf_verify sha256 = verified("signed.pdf");
    sha256.select_signature(0);
    EXPECT_EQ(sha256.digest_algorithm(), NID_sha256);

    // A form that is not read: neither intact nor a mismatch, but not supported.
    Pdf_verify unknown = verified("unknown.pdf");
    ASSERT_EQ(unknown.signatures_count(), 1u);
    unknown.select_signature(0);
    EXPECT_EQ(unknown.signature_integrity().state(), Assignable_state::Failed);
    EXPECT_EQ(unknown.unchecked_text(), pdf_unsupported_text("adbe.pkcs7.s5"));
    EXPECT_NE(unknown.unchecked_text().find("(adbe.pkcs7.s5) non è supportato"), std::string::npos);
    // The name comes from the document: only a name's characters reach the text, and not many.
    EXPECT_NE(pdf_unsupported_text("adbe.<b>x\n").find("(adbe.bx)"), std::string::npos);
    EXPECT_EQ(pdf_unsupported_text("<>").find('('), std::string::npos);
    EXPECT_EQ(pdf_unsupported_text(std::string(1000, 'a')).find(std::string(65, 'a')), std::string::npos);
}

TEST_F(Pdf_verification, a_signature_is_checked_only_with_the_bytes_of_its_own_range)
{
    // The layout the forgeries change, signed as it is: intact.
    Pdf_verify crafted = verified("crafted.pdf");
    ASSERT_EQ(crafted.signatures_count(), 1u);
    EXPECT_TRUE(intact(crafted, 0));
    // A second field with an empty /Contents and the first one's /ByteRange, in the signed
    // revision: the first is intact, the second is not the first one's signature again.
    Pdf_verify copied = verified("copied-range.pdf");
    ASSERT_EQ(copied.signatures_count(), 2u);
    EXPECT_EQ(intact(copied, 0) + intact(copied, 1), 1);
    // [0 a b c + 2^32]: the last number is out of the file before it can wrap.
    Pdf_verify wrapped = verified("wrapped-range.pdf");
    ASSERT_EQ(wrapped.signatures_count(), 1u);
    EXPECT_FALSE(intact(wrapped, 0));
}

TEST_F(Pdf_verification, a_second_signature_over_the_whole_file_matches_however_it_is_written)
{
    // Its hex digits in lower case and in lines (a lone last digit too), its CMS carrying the
    // signed bytes as well, or signed without signed attributes.
    for (const char* name : {"cosigned-lines.pdf", "cosigned-embedded.pdf", "cosigned-direct.pdf"}) {
        SCOPED_TRACE(name);
        Pdf_verify pdf = verified(name);
        ASSERT_EQ(pdf.outcome(), Pdf_outcome::Verified);
        ASSERT_EQ(pdf.signatures_count(), 2u);
        EXPECT_TRUE(intact(pdf, 0));
        EXPECT_TRUE(intact(pdf, 1));
        EXPECT_FALSE(pdf.changed_after_signature());
        EXPECT_FALSE(pdf.bytes_after_signatures());
    }
}

TEST_F(Pdf_verification, changed_bytes_are_not_intact_and_appended_ones_are_not_allowed)
{
    Pdf_verify tampered = verified("tampered.pdf");
    ASSERT_EQ(tampered.outcome(), Pdf_outcome::Verified);
    ASSERT_EQ(tampered.signatures_count(), 1u);
    EXPECT_FALSE(intact(tampered, 0));

    // One bit of the signature value changed (the 256-byte OCTET STRING of the 2048-bit RSA key):
    // the document's bytes match their digest, the signature over the attributes does not.
    std::vector<uint8_t> bytes = test::read_bytes(pdfs() / "signed.pdf");
    const std::string text(bytes.begin(), bytes.end());
    const size_t value = text.find("04820100", text.find('<', text.rfind("/Contents")));
    ASSERT_NE(value, std::string::npos);
    const size_t at = value + 8 + 300;
    bytes[at] = bytes[at] == '0' ? '1' : '0';
    Pdf_verify forged;
    forged.parse(bytes);
    ASSERT_EQ(forged.outcome(), Pdf_outcome::Verified);
    EXPECT_FALSE(intact(forged, 0));

    // Bytes after the signed revision that are no revision of it: its own bytes match, but it
    // does not vouch for the file.
    Pdf_verify appended = verified("appended.pdf");
    ASSERT_EQ(appended.outcome(), Pdf_outcome::Verified);
    EXPECT_TRUE(appended.bytes_after_signatures());
    EXPECT_TRUE(intact(appended, 0));
    EXPECT_EQ(appended.changes(0), Change_unreadable);
    EXPECT_NE(appended.later_changes().forbidden, "");
}

TEST_F(Pdf_verification, a_damaged_later_revision_is_never_taken_for_no_change)
{
    // rev-dss.pdf cut anywhere in its unsigned update, or with the update's entries pointing at
    // the wrong places: never a crash, the signature's own bytes still intact, and a change
    // reported as not allowed.
    const std::vector<uint8_t> whole = test::read_bytes(pdfs() / "rev-dss.pdf");
    const std::vector<uint8_t> signed_pdf = test::read_bytes(pdfs() / "signed.pdf");
    const std::string text(whole.begin(), whole.end());
    std::vector<std::vector<uint8_t>> damaged;
    for (size_t cut = signed_pdf.size() + 8; cut < whole.size() - 8; cut += (whole.size() - signed_pdf.size()) / 7)
        damaged.emplace_back(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    const size_t entries = text.rfind("xref\n");
    for (const char* offset : {"0000000001", "9999999999", "0000000000"}) {
        std::vector<uint8_t> moved = whole;
        const size_t at = text.find(" 1\n", entries) + 3; // the first entry of the update's section
        std::copy(offset, offset + 10, moved.begin() + static_cast<std::ptrdiff_t>(at));
        damaged.push_back(std::move(moved));
    }
    for (const std::vector<uint8_t>& bytes : damaged) {
        SCOPED_TRACE(bytes.size());
        Pdf_verify pdf;
        pdf.parse(bytes);
        if (pdf.outcome() != Pdf_outcome::Verified)
            continue;
        ASSERT_EQ(pdf.signatures_count(), 1u);
        EXPECT_TRUE(intact(pdf, 0));
        EXPECT_NE(pdf.later_changes().forbidden, "") << pdf.changes(0);
    }
}

TEST_F(Pdf_verification, what_changed_after_a_signature_is_named_and_judged_by_the_certification)
{
    // The first signature of each document: its own bytes intact, what changed after it, and
    // whether that is allowed (a warning) or not (an error). A later signature covers the file.
    struct Case {
        const char* pdf;
        unsigned changes;
        int certification;
        bool allowed, forbidden;
    };
    const Case cases[] = {
        {"rev-dss.pdf", Change_validation_data, 0, true, false},
        {"timestamp.pdf", Change_timestamps, 0, true, false},
        {"signed-twice.pdf", Change_signatures, 0, true, false},
        {"rev-comment.pdf", Change_annotations, 0, true, false},
        {"rev-filled.pdf", Change_form_filled, 0, true, false},
        {"certified-p1.pdf", 0, 1, false, false},
        {"certified-p1-dss.pdf", Change_validation_data, 1, true, false},
        {"certified-p1-filled.pdf", Change_form_filled, 1, false, true},
        {"certified-p2-filled.pdf", Change_form_filled, 2, true, false},
        {"certified-p2-comment.pdf", Change_annotations, 2, false, true},
        {"certified-p3-comment.pdf", Change_annotations, 3, true, false},
        {"changed-cosigned.pdf", Change_content | Change_signatures, 0, true, true},
        {"changed-stamped.pdf", Change_content | Change_timestamps, 0, true, true},
        {"shadow-hide.pdf", Change_resources, 0, false, true},
        {"shadow-hide-ref.pdf", Change_resources, 0, false, true},
        {"shadow-replace.pdf", Change_resources, 0, false, true},
        {"shadow-hide-replace.pdf", Change_pages, 0, false, true},
        // Objects deleted by a later section's free entries, judged by what they were.
        {"freed-content.pdf", Change_content, 0, false, true},
        {"freed-comment.pdf", Change_annotations, 0, true, false},
        {"freed-box-stream.pdf", Change_resources, 0, false, true},
    };
    for (const Case& one : cases) {
        SCOPED_TRACE(one.pdf);
        Pdf_verify pdf = verified(one.pdf);
        ASSERT_EQ(pdf.outcome(), Pdf_outcome::Verified);
        EXPECT_TRUE(intact(pdf, 0));
        EXPECT_EQ(pdf.changes(0), one.changes);
        EXPECT_EQ(pdf.certification_level(), one.certification);
        const Later_changes later = pdf.later_changes();
        EXPECT_EQ(!later.allowed.empty(), one.allowed) << later.allowed;
        EXPECT_EQ(!later.forbidden.empty(), one.forbidden) << later.forbidden;
        EXPECT_TRUE(pdf.signatures_count() == 1 || pdf.changes(pdf.signatures_count() - 1) == 0);
    }
    // The texts name the kinds; a change forbidden only by the certification says so.
    const Later_changes p2 = judge_later_changes(Change_annotations | Change_signatures, 2);
    EXPECT_EQ(p2.allowed, "Il documento è stato modificato dopo la firma: firme aggiunte.");
    EXPECT_EQ(p2.forbidden,
              "Il documento è stato modificato dopo la firma: annotazioni o commenti aggiunti, modificati o "
              "rimossi. La certificazione del documento non consente queste modifiche: la firma non vale "
              "per il documento nella forma attuale.");
    EXPECT_NE(judge_later_changes(Change_content, 0).forbidden.find(". Queste modifiche non sono consentite"),
              std::string::npos);
    EXPECT_EQ(judge_later_changes(0, 1).allowed + judge_later_changes(0, 1).forbidden, "");
    // Time stamps and validation data alone are what a document kept for the long term is given.
    EXPECT_TRUE(judge_later_changes(Change_timestamps | Change_validation_data, 1).long_term_only);
    EXPECT_FALSE(judge_later_changes(Change_timestamps | Change_visible_appearance, 0).long_term_only);
    EXPECT_FALSE(judge_later_changes(Change_validation_data | Change_signatures, 0).long_term_only);
}

TEST_F(Pdf_verification, what_a_later_revision_draws_over_the_signed_page_is_named_for_what_it_is)
{
    // Annotations listed in another order (an opaque box now on top of the amount), widgets of
    // signatures and time stamps that draw on the page, an empty signature field given an
    // appearance, a text field drawn with another text while its value stays; and the same
    // field filled again (value and appearance) as a control.
    const std::string changed = "Il documento è stato modificato dopo la firma: ";
    const std::string by_certification =
        ". La certificazione del documento non consente queste modifiche: la firma non vale per il documento "
        "nella forma attuale.";
    const std::string not_allowed = ". Queste modifiche non sono consentite: la firma non vale per il documento "
                                    "nella forma attuale.";
    const std::string annotations = "annotazioni o commenti aggiunti, modificati o rimossi";
    const std::string visible = "aspetto visibile di campi firma aggiunto o modificato alla pagina 1";
    const std::string empty_field = "aspetto di campi firma vuoti aggiunto o modificato senza firmarli";
    const std::string replaced =
        changed + "aspetto di campi del modulo sostituito senza che il loro valore cambi" + not_allowed;
    struct Case {
        const char* pdf;
        unsigned changes;
        int certification;
        std::string allowed, forbidden;
    };
    const Case cases[] = {
        {"certified-p1-reordered.pdf", Change_annotations, 1, "", changed + annotations + by_certification},
        {"certified-p2-reordered.pdf", Change_annotations, 2, "", changed + annotations + by_certification},
        {"rev-reordered.pdf", Change_annotations, 0, changed + annotations + ".", ""},
        // Reordered in the revision of a second signature, which lists its widget after them.
        {"certified-p2-reordered-signed.pdf", Change_signatures | Change_annotations, 2, changed + "firme aggiunte.",
         changed + annotations + by_certification},
        {"visible-stamp.pdf", Change_timestamps | Change_visible_appearance, 0,
         changed + "marche temporali del documento aggiunte, " + visible + ".", ""},
        {"certified-p1-visible-stamp.pdf", Change_timestamps | Change_visible_appearance, 1,
         changed + "marche temporali del documento aggiunte.", changed + visible + by_certification},
        {"certified-p2-visible-signed.pdf", Change_signatures | Change_visible_appearance, 2,
         changed + "firme aggiunte, " + visible + ".", ""},
        {"empty-field-drawn.pdf", Change_empty_signature_field | Change_visible_appearance, 0,
         changed + empty_field + ", " + visible + ".", ""},
        {"certified-p2-empty-field-drawn.pdf", Change_empty_signature_field | Change_visible_appearance, 2,
         changed + visible + ".", changed + empty_field + by_certification},
        {"shadow-replace-field.pdf", Change_appearance_replaced, 0, "", replaced},
        {"shadow-replace-stream.pdf", Change_appearance_replaced, 0, "", replaced},
        {"certified-p2-refilled.pdf", Change_form_filled, 2, changed + "campi del modulo compilati.", ""},
    };
    for (const Case& one : cases) {
        SCOPED_TRACE(one.pdf);
        Pdf_verify pdf = verified(one.pdf);
        ASSERT_EQ(pdf.outcome(), Pdf_outcome::Verified);
        EXPECT_TRUE(intact(pdf, 0));
        EXPECT_EQ(pdf.changes(0), one.changes);
        EXPECT_EQ(pdf.certification_level(), one.certification);
        pdf.select_signature(0);
        const Later_changes later = pdf.later_changes();
        EXPECT_EQ(later.allowed, one.allowed);
        EXPECT_EQ(later.forbidden, one.forbidden);
    }
    // The pages named in order, a bounded list of them.
    EXPECT_EQ(judge_later_changes(Change_visible_appearance, 0, {}, {1, 3, 4}).allowed,
              changed + "aspetto visibile di campi firma aggiunto o modificato alle pagine 1, 3 e 4.");
    std::vector<int> many(12);
    std::iota(many.begin(), many.end(), 1);
    EXPECT_NE(judge_later_changes(Change_visible_appearance, 2, {}, many)
                  .allowed.find("alle pagine 1, 2, 3, 4, 5, 6, "
                                "7, 8, 9, 10 e altre 2."),
              std::string::npos);
}

TEST_F(Pdf_verification, a_field_locked_by_a_signature_may_not_change_after_it)
{
    // The form's field "Nome" filled after a signature that locks fields in its FieldMDP
    // reference and its field's lock: named in an error when locked, a filled field otherwise.
    struct Case {
        const char* pdf;
        unsigned changes;
        const char* forbidden;
    };
    const std::string locked_nome = "Il documento è stato modificato dopo la firma: campo bloccato dalla firma "
                                    "modificato: \"Nome\". Queste modifiche non sono consentite: la firma non vale "
                                    "per il documento nella forma attuale.";
    const Case cases[] = {
        {"locked-all-filled.pdf", 0, locked_nome.c_str()},
        {"locked-include-Nome-filled.pdf", 0, locked_nome.c_str()},
        {"locked-p1-filled.pdf", 0, locked_nome.c_str()},
        {"locked-exclude-Nome-filled.pdf", Change_form_filled, ""},
        {"locked-include-Altro-filled.pdf", Change_form_filled, ""},
        // A signature in a field of its own is no change of a field that was locked.
        {"locked-all-cosigned.pdf", Change_signatures, ""},
        {"locked-all.pdf", 0, ""},
    };
    for (const Case& one : cases) {
        SCOPED_TRACE(one.pdf);
        Pdf_verify pdf = verified(one.pdf);
        ASSERT_EQ(pdf.outcome(), Pdf_outcome::Verified);
        EXPECT_TRUE(intact(pdf, 0));
        EXPECT_EQ(pdf.changes(0), one.changes);
        EXPECT_EQ(pdf.later_changes().forbidden, one.forbidden);
        EXPECT_EQ(pdf.later_changes().allowed.empty(), one.changes == 0);
    }
    // Names from the document are shown without control characters, a bounded list of them.
    const std::vector<std::string> many(12, "Campo\x01\n" + std::string(100, 'x'));
    const std::string text = judge_later_changes(Change_form_filled, 1, many).forbidden;
    EXPECT_NE(text.find("campi del modulo compilati, campi bloccati dalla firma modificati: \"Campo"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find('\x01'), std::string::npos);
    EXPECT_NE(text.find("...\" e altri 2. Queste modifiche non sono consentite"), std::string::npos) << text;
}

TEST_F(Pdf_verification, unsigned_and_broken_documents_are_told_apart)
{
    EXPECT_EQ(verified("plain.pdf").outcome(), Pdf_outcome::Not_signed);
    for (const std::string& text :
         {std::string("%PDF-1.7\n1 0 obj\n<<"), std::string("non un PDF"), std::string(100000, '\xFF')}) {
        Pdf_verify broken;
        broken.parse(std::vector<uint8_t>(text.begin(), text.end()));
        EXPECT_EQ(broken.outcome(), Pdf_outcome::Not_a_pdf) << text.substr(0, 20);
        EXPECT_EQ(broken.signatures_count(), 0u);
    }
    // Every truncation point class: the header, the body, the cross-reference table.
    const std::vector<uint8_t> whole = test::read_bytes(pdfs() / "signed.pdf");
    for (const size_t size : {size_t(8), whole.size() / 2, whole.size() - 40}) {
        Pdf_verify truncated;
        truncated.parse(std::span(whole).first(size));
        EXPECT_FALSE(truncated.outcome() == Pdf_outcome::Verified && intact(truncated, 0)) << size;
    }
}

TEST_F(Pdf_verification, a_java_exception_is_taken_and_our_faults_stay_ours)
{
    ASSERT_EQ(verified("signed.pdf").outcome(), Pdf_outcome::Verified);
    JavaVM* machine = Java_vm::instance().machine();
    ASSERT_TRUE(machine);
    {
        Jvm_thread thread(machine);
        JNIEnv* env = thread.env();
        ASSERT_TRUE(env);
        Java_class_binding binding(Pdf_verify_class, "Pdf_verify", "pdf_verify.",
                                   {{"signers", "()[Lit/norax/coop/sigillo/JNI_Pdf_verify$Signer;"}});
        ASSERT_TRUE(binding.bind(env, "Carica la classe per la verifica PDF.."));
        jobject verifier = binding.create(env);
        ASSERT_TRUE(verifier);
        // No document was read: no signature, and the index is out of range in Java.
        auto none = static_cast<jobjectArray>(env->CallObjectMethod(verifier, binding.method("signers")));
        ASSERT_TRUE(none);
        EXPECT_EQ(env->GetArrayLength(none), 0);
        jobject result = env->GetObjectArrayElement(none, 3);
        EXPECT_EQ(result, nullptr);
        env->DeleteLocalRef(none);
        EXPECT_NE(take_java_exception(env).find("IndexOutOfBoundsException"), std::string::npos);
        EXPECT_FALSE(env->ExceptionCheck());
        env->DeleteLocalRef(verifier);

        // A binding that names a method the class lacks fails with its text.
        Java_class_binding missing(Pdf_verify_class, "Pdf_verify", "pdf_verify.", {{"absent", "()V"}});
        EXPECT_FALSE(missing.bind(env, "Carica la classe per la verifica PDF.."));
        EXPECT_TRUE(test::traced(Level_info, {"pdf_verify.absent"}));
    }
    // The machine took the fault signals, and passes ours on: a division by zero in our code is
    // still translated.
    volatile int zero = 0;
    EXPECT_THROW(
        {
            volatile int result = 1 / zero;
            (void)result;
        },
        SEH_exception);
    // And the machine still works afterwards.
    Pdf_verify again = verified("signed-twice.pdf");
    EXPECT_EQ(again.signatures_count(), 2u);
    EXPECT_EQ(Java_vm::instance().start(), Jvm_already_running);
}

// velin-verify with arguments and the test PKI's lists (and input on its standard input); its
// standard output, and its exit status when asked.
std::string run_verifier(const std::string& arguments, const std::string& input = {}, int* status = nullptr,
                         const std::string& wrapper = {}, const std::string& program = VELIN_VERIFY_PROGRAM)
{
    static test::Test_folder data;
    if (!fs::exists(data / "data"))
        fs::copy(fs::path(VELIN_PKI_FIXTURES) / "velin-data" / "data", data / "data", fs::copy_options::recursive);
    const fs::path in = data / "in.txt";
    const fs::path out = data / "out.json";
    test::write_file(in, input);
    const std::string command = "VELIN_DATA_DIR=" + data.path().string() + " " + wrapper + " " + program + " " +
                                arguments + " <" + in.string() + " >" + out.string() + " 2>&1";
    const int result = std::system(command.c_str());
    if (status)
        *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return test::without_verification_time(test::read_file(out));
}

// velin-verify --batch --json on a PDF of the fixtures.
std::string batch_report(const std::string& pdf, int* status = nullptr)
{
    return run_verifier("--batch --json " + (pdfs() / pdf).string(), {}, status);
}

TEST(Pdf_in_the_verifier, signed_pdfs_are_reported_like_envelopes)
{
    test::private_environment();
    const std::string good = batch_report("signed.pdf");
    EXPECT_NE(good.find("\"signer\": \"ROSSI MARIO\""), std::string::npos) << good;
    EXPECT_NE(good.find("Firma digitale (con validità legale)"), std::string::npos) << good;
    EXPECT_NE(good.find("Il documento è firmato correttamente e integro."), std::string::npos) << good;
    EXPECT_EQ(good.find("WARNING"), std::string::npos) << good; // nothing of the libraries' logs
    for (const char* changed : {"tampered.pdf", "copied-range.pdf", "wrapped-range.pdf"}) {
        const std::string report = batch_report(changed);
        EXPECT_NE(report.find("La firma non corrisponde al documento."), std::string::npos) << report;
        EXPECT_EQ(report.find("integro"), std::string::npos) << report;
    }
    const std::string unsigned_pdf = batch_report("plain.pdf");
    EXPECT_NE(unsigned_pdf.find("Il documento PDF non contiene firme digitali."), std::string::npos) << unsigned_pdf;
    EXPECT_EQ(unsigned_pdf.find("corrott"), std::string::npos) << unsigned_pdf;
}

TEST(Pdf_in_the_verifier, a_signature_followed_by_a_later_revision_never_vouches_for_the_document_as_it_is)
{
    test::private_environment();
    // The page's text replaced after the first signature, the change closed by another accredited
    // signer, by anyone's document time stamp, or by a dictionary that signs nothing; an overlay
    // taken away; bytes that are no revision; and honest later revisions: a co-signature, a
    // document time stamp, validation data (these two what a document kept for the long term is
    // given: information).
    // (The runs here have no revocation source: their status is at least that of the warnings.)
    const std::string changed = "Il documento è stato modificato dopo la firma: ";
    struct Case {
        const char* pdf;
        const char* named; // the kind of change the first signature names
        bool allowed;
        const char* severity = nullptr; // of the line naming it, when not that of allowed
    };
    for (const Case& one :
         {Case{"changed-cosigned.pdf", "contenuto delle pagine", false},
          Case{"changed-stamped.pdf", "contenuto delle pagine", false},
          Case{"changed-bogus.pdf", "contenuto delle pagine", false},
          Case{"shadow-hide-ref.pdf", "risorse delle pagine", false},
          Case{"appended.pdf", "non possono essere confrontati", false},
          Case{"signed-twice.pdf", "firme aggiunte", true}, Case{"timestamp.pdf", "marche temporali", true, "info"},
          Case{"rev-dss.pdf", "(DSS)", true, "info"}}) {
        SCOPED_TRACE(one.pdf);
        // The dictionary that closes the change is no valid signature: its mismatch is an error.
        const bool bogus = std::string(one.pdf) == "changed-bogus.pdf";
        int status = -1;
        const std::string report = batch_report(one.pdf, &status);
        EXPECT_GE(status, one.allowed ? 1 : 2) << report;
        EXPECT_EQ(report.find("\"outcome\": \"success\""), std::string::npos) << report;
        EXPECT_EQ(report.find("integro"), std::string::npos) << report;
        // The first signature still matches its own bytes, and names what changed after it, as a
        // warning or an error; the one that covers the whole file does not.
        EXPECT_NE(report.find("\"signer\": \"ROSSI MARIO\""), std::string::npos) << report;
        const size_t line = report.find(std::string("{\"severity\": \"") +
                                        (one.severity  ? one.severity
                                         : one.allowed ? "warning"
                                                       : "error") +
                                        "\", \"text\": \"" + changed);
        ASSERT_NE(line, std::string::npos) << report;
        EXPECT_LT(report.find(one.named, line), report.find('}', line)) << report;
        // (In the summary and in the dictionary's own lines.)
        EXPECT_EQ(occurrences(report, signature_mismatch_text), bogus ? 2u : 0u) << report;
        EXPECT_EQ(occurrences(report, forbidden_changes_text), !one.allowed && !bogus ? 1u : 0u) << report;
        EXPECT_EQ(occurrences(report, changed_after_signatures_text), one.allowed ? 1u : 0u) << report;
    }
    // The text report says the same.
    const std::string text = run_verifier("--batch " + (pdfs() / "shadow-hide.pdf").string());
    EXPECT_NE(text.find("] Il documento è stato modificato dopo la firma: risorse delle pagine"), std::string::npos)
        << text;
}

TEST(Pdf_in_the_verifier, what_a_later_revision_draws_over_the_signed_page_is_flagged_by_the_program)
{
    test::private_environment();
    // Revocation checked against the test PKI's lists: the exit status is the changes' own.
    // Errors: annotations reordered under certification, a time stamp drawn on a page certified
    // with no change allowed, a text field drawn with another text (both ways); warnings: a time
    // stamp drawn on the page, an empty signature field given an appearance (no signature added).
    test::Batch_verifier verifier;
    const std::string changed = "Il documento è stato modificato dopo la firma: ";
    struct Case {
        const char* pdf;
        std::string line;
    };
    for (const Case& one :
         {Case{"certified-p1-reordered.pdf", "error: " + changed +
                                                 "annotazioni o commenti aggiunti, modificati o rimossi. "
                                                 "La certificazione del documento non consente queste modifiche"},
          Case{"certified-p2-reordered.pdf", "error: " + changed +
                                                 "annotazioni o commenti aggiunti, modificati o rimossi. "
                                                 "La certificazione del documento non consente queste modifiche"},
          Case{"certified-p1-visible-stamp.pdf",
               "error: " + changed +
                   "aspetto visibile di campi firma aggiunto o modificato alla pagina 1. La certificazione"},
          Case{"shadow-replace-field.pdf",
               "error: " + changed + "aspetto di campi del modulo sostituito senza che il loro valore cambi. Queste"},
          Case{"shadow-replace-stream.pdf",
               "error: " + changed + "aspetto di campi del modulo sostituito senza che il loro valore cambi. Queste"},
          Case{"visible-stamp.pdf", "warning: " + changed +
                                        "marche temporali del documento aggiunte, aspetto visibile "
                                        "di campi firma aggiunto o modificato alla pagina 1.\n"},
          Case{"empty-field-drawn.pdf",
               "warning: " + changed +
                   "aspetto di campi firma vuoti aggiunto o modificato senza firmarli, aspetto "
                   "visibile di campi firma aggiunto o modificato alla pagina 1.\n"}}) {
        SCOPED_TRACE(one.pdf);
        const bool allowed = one.line.starts_with("warning");
        const test::Verdict verdict = verifier.verify(pdfs() / one.pdf);
        EXPECT_EQ(verdict.exit_code, allowed ? Exit_warnings : Exit_errors) << verdict.text;
        const std::string lines = verdict.lines(0);
        EXPECT_NE(lines.find(one.line), std::string::npos) << lines;
        EXPECT_EQ(lines.find("integro"), std::string::npos) << lines;
        EXPECT_EQ(lines.find(allowed ? forbidden_changes_text : changed_after_signatures_text), std::string::npos)
            << lines;
        EXPECT_NE(lines.find(allowed ? changed_after_signatures_text : forbidden_changes_text), std::string::npos)
            << lines;
        // No signature was added to the empty field.
        EXPECT_EQ(lines.find("firme aggiunte"), std::string::npos) << lines;
    }
    // The controls: the certified document as it was signed, and its form filled again at P 2.
    const test::Verdict certified = verifier.verify(pdfs() / "certified-p1.pdf");
    EXPECT_EQ(certified.exit_code, Exit_success) << certified.text;
    EXPECT_TRUE(test::has_line(certified.lines(0), std::string("info: ") + signatures_intact_text)) << certified.text;
    const test::Verdict refilled = verifier.verify(pdfs() / "certified-p2-refilled.pdf");
    EXPECT_EQ(refilled.exit_code, Exit_warnings) << refilled.text;
    EXPECT_TRUE(test::has_line(refilled.lines(0), "warning: " + changed + "campi del modulo compilati."))
        << refilled.text;
    EXPECT_TRUE(test::has_line(refilled.lines(0), std::string("warning: ") + changed_after_signatures_text))
        << refilled.text;
}

// Where the verifier's machine took its PDF classes from, with a report of the same run: the
// machine's class log is asked for through the environment, and its note of that is left out.
struct Class_source {
    std::string report;
    bool from_archive = false;
};

Class_source class_source(const fs::path& program)
{
    static test::Test_folder logs;
    const fs::path log = logs / "classes.log";
    fs::remove(log);
    std::string report = run_verifier("--batch --json " + (pdfs() / "signed.pdf").string(), {}, nullptr,
                                      "JAVA_TOOL_OPTIONS=-Xlog:class+load=info:file=" + log.string(), program);
    const size_t note = report.find("Picked up JAVA_TOOL_OPTIONS");
    if (note != std::string::npos)
        report.erase(note, report.find('\n', note) + 1 - note);
    const std::string classes = test::read_file(log);
    const size_t at = classes.find("it.norax.coop.sigillo.JNI_Pdf_verify source: ");
    EXPECT_NE(at, std::string::npos) << classes.substr(0, 2000);
    return {report, at != std::string::npos && classes.compare(at + 45, 19, "shared objects file") == 0};
}

TEST(Pdf_in_the_verifier, the_machine_starts_from_the_class_archive_and_without_a_usable_one_as_before)
{
    test::private_environment();
    ASSERT_TRUE(fs::exists(fs::path(VELIN_JAVA_FOLDER) / Class_archive_name)) << "the build made no class archive";
    const Class_source built = class_source(VELIN_VERIFY_PROGRAM);
    EXPECT_TRUE(built.from_archive);
    EXPECT_NE(built.report.find("Il documento è firmato correttamente e integro."), std::string::npos) << built.report;

    // A copy of the program with a java folder of its own (a copy of the classes' jar, links to
    // the libraries) and an archive that is missing, empty, damaged, made there as the build makes
    // it (then used), or made there before the jar changed: without a usable one the machine
    // starts as before and says nothing of it, and the report is always the same.
    test::Test_folder copy;
    fs::create_directories(copy / "bin");
    fs::create_directories(copy / "java");
    const fs::path program = copy / "bin" / "velin-verify";
    fs::copy_file(VELIN_VERIFY_PROGRAM, program);
    std::string class_path;
    for (const std::string& jar : class_path_jars(VELIN_JAVA_FOLDER)) {
        const fs::path name = copy / "java" / fs::path(jar).filename();
        if (name.filename() == "sigillo.jar")
            fs::copy_file(jar, name);
        else
            fs::create_symlink(fs::canonical(jar), name);
        class_path += (class_path.empty() ? "" : ":") + name.string();
    }
    const fs::path archive = copy / "java" / Class_archive_name;
    std::string damaged = test::read_file(fs::path(VELIN_JAVA_FOLDER) / Class_archive_name).substr(0, 65536);
    for (size_t i = 16; i < damaged.size(); i += 7)
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
    const auto made_here = [&] {
        const std::string command = std::string(VELIN_ARCHIVE_COMMAND) +
                                    " -XX:ArchiveClassesAtExit=" + archive.string() + " -cp " + class_path + " " +
                                    VELIN_ARCHIVE_MAIN + " >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    };
    const struct {
        const char* name;
        std::function<void()> make;
        bool used;
    } cases[] = {{"missing", [] {}, false},
                 {"empty", [&] { test::write_file(archive, ""); }, false},
                 {"damaged", [&] { test::write_file(archive, damaged); }, false},
                 {"made here", made_here, true},
                 {"stale",
                  [&] {
                      made_here();
                      const fs::path jar = copy / "java" / "sigillo.jar";
                      fs::last_write_time(jar, fs::last_write_time(jar) + std::chrono::hours(1));
                  },
                  false}};
    for (const auto& test_case : cases) {
        SCOPED_TRACE(test_case.name);
        fs::remove(archive);
        test_case.make();
        const Class_source source = class_source(program);
        EXPECT_EQ(source.from_archive, test_case.used);
        EXPECT_EQ(source.report, built.report);
    }
}

// A signed PDF updated with its catalog in an object stream that inflates to MB megabytes, made
// in a folder of its own.
fs::path bomb_pdf(const test::Test_folder& folder, int megabytes)
{
    const std::string command = std::string(VELIN_MAKE_PDFS) + " " + folder.path().string() + " " + VELIN_PKI_FIXTURES +
                                " bomb " + std::to_string(megabytes) + " >" + (folder / "make.log").string() + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << test::read_file(folder / "make.log");
    return folder / "bomb.pdf";
}

TEST_F(Pdf_verification, compressed_objects_that_inflate_past_the_limit_are_refused_with_our_text)
{
    // Below the limit the document is read (its later revision is reported as always).
    {
        test::Test_folder folder;
        Pdf_verify small;
        small.parse(test::read_bytes(bomb_pdf(folder, 64)));
        EXPECT_EQ(small.outcome(), Pdf_outcome::Verified);
        EXPECT_EQ(small.signatures_count(), 1u);
    }
    // 1.5 GB of spaces in 1.6 MB: refused, an error, never a success.
    test::Test_folder folder;
    const fs::path bomb = bomb_pdf(folder, 1536);
    Pdf_verify pdf;
    pdf.parse(test::read_bytes(bomb));
    EXPECT_EQ(pdf.outcome(), Pdf_outcome::Too_large);
    EXPECT_EQ(pdf.failure_text(), Text_pdf_too_large);
    EXPECT_EQ(pdf.signatures_count(), 0u);

    int status = -1;
    const fs::path measure = folder / "time.txt";
    const std::string report =
        run_verifier("--batch --json " + bomb.string(), {}, &status, "/usr/bin/time -v -o " + measure.string());
    EXPECT_EQ(status, 2) << report;
    EXPECT_NE(report.find(Text_pdf_too_large), std::string::npos) << report;
    EXPECT_EQ(report.find("\"outcome\": \"success\""), std::string::npos) << report;
    // Reported, not asserted: what the refusal cost.
    std::istringstream measured(test::read_file(measure));
    for (std::string line; std::getline(measured, line);)
        if (line.find("Elapsed") != std::string::npos || line.find("Maximum resident") != std::string::npos)
            std::cout << "bomb.pdf:" << line << "\n";
}

TEST_F(Pdf_verification, each_of_many_successive_signatures_is_checked_over_its_own_revisions)
{
    test::Test_folder folder;
    const std::string command = std::string(VELIN_MAKE_PDFS) + " " + folder.path().string() + " " + VELIN_PKI_FIXTURES +
                                " many 5 >" + (folder / "make.log").string() + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << test::read_file(folder / "make.log");
    const std::vector<uint8_t> whole = test::read_bytes(folder / "many.pdf");
    const std::string text(whole.begin(), whole.end());
    // As made, every signature matches; the third revision changed before its signature's hole
    // (the field's name) or right after it (white space for white space): the first two still
    // match, no later one does. Every one but the last is followed by a later revision.
    const size_t third_hole = text.find("/Contents <", text.find("(Firma 3)"));
    ASSERT_NE(third_hole, std::string::npos);
    const std::vector<std::pair<size_t, char>> changes = {{0, '%' /* the first byte as it is */},
                                                          {text.find("(Firma 3)") + 7, 'X'},
                                                          {text.find('>', third_hole) + 1, '\n'}};
    for (const auto& [at, byte] : changes) {
        SCOPED_TRACE(at);
        std::vector<uint8_t> changed = whole;
        changed[at] = static_cast<uint8_t>(byte);
        Pdf_verify pdf;
        pdf.parse(changed);
        ASSERT_EQ(pdf.outcome(), Pdf_outcome::Verified);
        ASSERT_EQ(pdf.signatures_count(), 5u);
        EXPECT_FALSE(pdf.bytes_after_signatures());
        for (size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(intact(pdf, i), at == 0 || i < 2) << i;
            EXPECT_EQ(pdf.changed_after_signature(), i < 4) << i;
        }
    }
}

TEST(Pdf_in_the_verifier, old_forms_are_verified_with_the_weak_hash_warning_and_unknown_ones_are_not_supported)
{
    test::private_environment();
    const std::string weak = "L'algoritmo di hash della firma non è più considerato sicuro.";
    for (const char* name : {"x509.pdf", "x509-chain.pdf"}) {
        const std::string report = batch_report(name);
        EXPECT_NE(report.find("\"signer\": \"ROSSI MARIO\""), std::string::npos) << report;
        EXPECT_NE(report.find("Firma digitale (con validità legale)"), std::string::npos) << report;
        EXPECT_NE(report.find("Il documento è firmato correttamente e integro."), std::string::npos) << report;
        EXPECT_NE(report.find(weak), std::string::npos) << report;
        EXPECT_EQ(report.find("non corrisponde"), std::string::npos) << report;
    }
    EXPECT_NE(batch_report("sha1.pdf").find(weak), std::string::npos);
    EXPECT_EQ(batch_report("signed.pdf").find(weak), std::string::npos);
    const std::string tampered = batch_report("x509-tampered.pdf");
    EXPECT_NE(tampered.find("La firma non corrisponde al documento."), std::string::npos) << tampered;
    EXPECT_EQ(tampered.find("integro"), std::string::npos) << tampered;
    const std::string unknown = batch_report("unknown.pdf");
    EXPECT_NE(unknown.find(pdf_unsupported_text("adbe.pkcs7.s5")), std::string::npos) << unknown;
    EXPECT_EQ(unknown.find("non corrisponde"), std::string::npos) << unknown;
    EXPECT_EQ(unknown.find("integro"), std::string::npos) << unknown;
    EXPECT_NE(unknown.find("\"outcome\": \"errors\""), std::string::npos) << unknown;
}

TEST(Pdf_in_the_verifier, every_signature_of_the_file_is_listed_and_one_outside_the_form_is_named)
{
    // A second signed dictionary in a revision of its own that no field refers to: listed after
    // the form's, checked over its range, and said to be outside the form; the form's own
    // signatures are not.
    test::Batch_verifier verifier;
    const test::Verdict outside = verifier.verify(pdfs() / "outside-form.pdf");
    const QJsonArray signatures = outside.layer(0)["signatures"].toArray();
    ASSERT_EQ(signatures.size(), 2) << outside.text;
    EXPECT_EQ(signatures[0].toObject()["signer"].toString(), "ROSSI MARIO");
    EXPECT_EQ(signatures[1].toObject()["signer"].toString(), "Dott. Bruno Notai");
    const std::string lines = outside.lines(0);
    EXPECT_EQ(occurrences(lines, std::string("warning: ") + signature_outside_form_text + "\n"), 1u) << lines;
    EXPECT_EQ(QJsonDocument(signatures[0].toObject()).toJson().toStdString().find(signature_outside_form_text),
              std::string::npos);
    EXPECT_EQ(lines.find(signature_mismatch_text), std::string::npos) << lines;
    // The controls: two signatures of the form; a dictionary whose hole was never filled (the
    // name it is found by fifty thousand times in it) signs nothing and is not listed.
    for (const char* name : {"signed-twice.pdf", "outside-form-unsigned.pdf"}) {
        const test::Verdict verdict = verifier.verify(pdfs() / name);
        EXPECT_EQ(verdict.lines(0).find(signature_outside_form_text), std::string::npos) << verdict.text;
        EXPECT_EQ(verdict.lines(0).find(signature_mismatch_text), std::string::npos) << verdict.text;
        EXPECT_EQ(verdict.layer(0)["signatures"].toArray().size(), name == std::string("signed-twice.pdf") ? 2 : 1);
    }
}

TEST(Pdf_in_the_verifier, a_brazilian_cades_signature_and_one_made_after_its_certificate_expired_match)
{
    // PBAD.PAdES (CAdES with the Brazilian policy's identifier), then adbe.pkcs7.detached over
    // the whole file by a certificate that had expired when it signed: both match their bytes, as
    // openssl cms -verify says; the expired certificate is the certificate's fault, not a mismatch.
    test::Batch_verifier verifier;
    const test::Verdict verdict = verifier.verify(pdfs() / "pbad-cosigned.pdf");
    const QJsonArray signatures = verdict.layer(0)["signatures"].toArray();
    ASSERT_EQ(signatures.size(), 2) << verdict.text;
    const std::string lines = verdict.lines(0);
    EXPECT_EQ(lines.find(signature_mismatch_text), std::string::npos) << lines;
    EXPECT_EQ(lines.find("non è supportato"), std::string::npos) << lines;
    EXPECT_TRUE(test::has_line(lines, std::string("warning: ") + changed_after_signatures_text)) << lines;
    EXPECT_NE(QJsonDocument(signatures[1].toObject()).toJson().toStdString().find("Il certificato è scaduto."),
              std::string::npos)
        << verdict.text;
}

TEST(Pdf_in_the_verifier, many_pdfs_and_envelopes_at_once_are_reported_as_each_alone)
{
    test::private_environment();
    std::vector<fs::path> files;
    for (const char* pdf : {"signed.pdf", "signed-twice.pdf", "tampered.pdf", "appended.pdf", "sha1.pdf",
                            "timestamp.pdf", "plain.pdf", "x509.pdf"})
        files.push_back(pdfs() / pdf);
    const fs::path documents = fs::path(VELIN_PKI_FIXTURES) / "documents";
    for (const char* envelope : {"contratto-signer-legal.txt.p7m", "contratto-signer-user.txt.p7m",
                                 "contratto-signer-forged.txt.p7m", "contratto-signer-no-nr.txt.p7m"})
        files.push_back(documents / envelope);

    std::string list;
    for (const fs::path& file : files)
        list += file.string() + "\n";
    std::istringstream together(run_verifier("--batch --json --jobs 4 --stdin", list));
    std::string line;
    for (const fs::path& file : files) {
        ASSERT_TRUE(std::getline(together, line)) << file;
        const std::string alone = run_verifier("--batch --json " + file.string());
        EXPECT_EQ(line + "\n", alone) << file;
    }
    EXPECT_FALSE(std::getline(together, line)) << line;

    // A runtime that cannot be started is still told for every PDF of the run, and only for them.
    test::Test_folder no_runtime;
    const fs::path hive = std::getenv("VELIN_MACHINE_REGISTRY");
    test::write_file(hive, "Windows Registry Editor Version 5.00\n\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\n"
                           "\"JavaHome\"=\"" +
                               no_runtime.path().string() + "\"\n\n");
    std::istringstream without_java(run_verifier("--batch --json --jobs 4 --stdin", list));
    fs::remove(hive);
    for (const fs::path& file : files) {
        ASSERT_TRUE(std::getline(without_java, line)) << file;
        EXPECT_EQ(line.find(Text_pdf_needs_java) != std::string::npos, file.extension() == ".pdf") << line;
    }
}

TEST(Java_time, the_classes_day_first_text)
{
    const auto time = parse_java_time("8/12/2026 16:5:7");
    ASSERT_TRUE(time);
    EXPECT_EQ(time->day, 8);
    EXPECT_EQ(time->month, 12);
    EXPECT_EQ(time->year, 2026);
    EXPECT_EQ(time->minute, 5);
    for (const char* bad : {"", "8/12/2026", "32/1/2026 0:0:0", "1/13/2026 0:0:0", "1/1/2026 24:0:0", "a/b/c d:e:f"})
        EXPECT_FALSE(parse_java_time(bad)) << bad;
}

} // namespace
} // namespace velin
