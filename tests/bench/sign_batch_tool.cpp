// Signs documents the way velin-sign's batch does after the PIN dialog: one PKCS#7 card signer
// opened once, then sign_document for each file, writing FILE.p7m beside it. The token is the
// reader's: a SoftHSM token whose label is given as the reader name. Prints the wall time and the
// peak resident memory. With --xades the files are XML documents signed as XAdES in place.
//     sign_batch_tool [--xades] MODULE READER PIN FILE...
#include "norax_sign/card_signer.h"
#include "norax_sign/sign_batch.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

namespace {

// Answers every question with Yes: outputs are overwritten, nothing is asked of a user.
class Unattended_ui : public velin::Sign_batch_ui {
public:
    std::optional<std::string> choose_output_folder() override { return std::nullopt; }
    std::optional<velin::Found_card> find_card() override { return std::nullopt; }
    std::optional<velin::Pin_text> enter_pin(const velin::Found_card&) override { return std::nullopt; }
    int ask(const std::string&, unsigned) override { return 6; } // IDYES
    std::optional<std::string> save_as(const std::string&, bool) override { return std::nullopt; }
    void progress(size_t, size_t, const std::string&) override {}
    void show_pending_errors() override {}
};

} // namespace

int main(int argc, char** argv)
{
    const bool xades = argc > 1 && std::string(argv[1]) == "--xades";
    if (xades) {
        --argc;
        ++argv;
    }
    if (argc < 5) {
        std::fprintf(stderr, "usage: sign_batch_tool [--xades] MODULE READER PIN FILE...\n");
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    std::unique_ptr<velin::Card_signer> signer;
    if (xades)
        signer = std::make_unique<velin::Xades_card_signer>(argv[2], argv[1]);
    else
        signer = std::make_unique<velin::Pkcs7_card_signer>(argv[2], argv[1]);
    signer->open();
    const velin::Pin_text pin(argv[3]);
    Unattended_ui ui;
    int failed = 0;
    for (int index = 4; index < argc; ++index)
        if (velin::sign_document(ui, *signer, pin, argv[index], xades ? velin::Flag_xades : 0, {}, false) != 0)
            ++failed;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("documents %d failed %d seconds %.3f peak_kib %ld\n", argc - 4, failed, seconds, usage.ru_maxrss);
    return failed ? 1 : 0;
}
