// Verifies or signs PDFs the way the programs do, in one process, and prints the wall time of
// each step and the peak resident memory:
//     pdf_tool verify FILE...                      each file read by the PDF decoder in turn
//     pdf_tool sign MODULE TOKEN_LABEL PIN FILE SMALL   SMALL signed first (a warm machine), then FILE
//                                                  with the token's key, written to FILE.signed.pdf
//                                                  as velin-sign reads, signs and writes a document
#include "common/failure.h"
#include "envelope/binary_file.h"
#include "java_bridge/java_vm.h"
#include "java_bridge/pdf_verify.h"
#include "norax_sign/pdf_card_signer.h"
#include "norax_sign/sign_batch.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

long peak_kib()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    velin::SEH_translation translation;
    velin::Java_vm::instance().set_sources_for_tests(velin::Runtime_root, std::nullopt, VELIN_JAVA_FOLDER);
    if (argc >= 3 && std::strcmp(argv[1], "verify") == 0) {
        for (int i = 2; i < argc; ++i) {
            const auto start = std::chrono::steady_clock::now();
            velin::Binary_file_read file(argv[i]);
            velin::Pdf_verify pdf;
            pdf.parse(file.value());
            std::printf("verify %s: %.3f s, %zu signatures, peak %ld KiB\n", argv[i], seconds_since(start),
                        pdf.signatures_count(), peak_kib());
        }
        return 0;
    }
    if (argc == 7 && std::strcmp(argv[1], "sign") == 0) {
        // A small document first, as in a batch: the classes are loaded and the machine warm.
        {
            velin::Binary_file_read small(argv[6]);
            velin::Pdf_card_signer warm(
                0, argv[3], [](const std::string&, unsigned) { return 6; }, argv[2]);
            warm.sign_releasing(argv[4], small.value(), 0);
            if (!warm.succeeded() || velin::write_signed_document(std::string(argv[6]) + ".signed.pdf", warm.result()))
                return 1;
        }
        const long before = peak_kib();
        const auto start = std::chrono::steady_clock::now();
        velin::Binary_file_read file(argv[5]);
        velin::Pdf_card_signer signer(
            0, argv[3], [](const std::string&, unsigned) { return 6; }, argv[2]);
        signer.sign_releasing(argv[4], file.value(), 0);
        if (!signer.succeeded() || velin::write_signed_document(std::string(argv[5]) + ".signed.pdf", signer.result()))
            return 1;
        std::printf("sign %s: %.3f s, peak %ld KiB (%ld KiB after a small document)\n", argv[5], seconds_since(start),
                    peak_kib(), before);
        return 0;
    }
    std::fprintf(stderr, "usage: pdf_tool verify FILE... | pdf_tool sign MODULE TOKEN_LABEL PIN FILE SMALL_FILE\n");
    return 2;
}
