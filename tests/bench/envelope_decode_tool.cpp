// Reads and decodes one signed file the way the verifier's analysis does (file read, envelope
// decoding, document extraction, signature checks), without the application around it, and
// prints the outcome and the time: envelope_decode_tool FILE
#include "envelope/signed_document_parser.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    auto info = std::make_shared<velin::Signed_document_info>();
    std::atomic<bool> cancel{false};
    velin::Signed_document_parser parser(info, cancel);
    parser.decode_file(argv[1]);
    const auto read = std::chrono::steady_clock::now();
    if (parser.status() == velin::Parser_status::File_loaded)
        parser.analyse();
    const auto done = std::chrono::steady_clock::now();
    const auto seconds = [](auto from, auto to) { return std::chrono::duration<double>(to - from).count(); };
    std::fprintf(stderr, "read %.3f s, analysis %.3f s\n", seconds(start, read), seconds(read, done));
    if (parser.status() == velin::Parser_status::Error) {
        std::printf("error: %s\n", parser.error_message().c_str());
        return 1;
    }
    const auto& envelope = info->envelope.value();
    std::printf("content %s, %zu bytes; signatures %s\n", envelope.content.is_assigned() ? "extracted" : "missing",
                envelope.content.is_assigned() ? envelope.content.value().size() : size_t{0},
                envelope.all_signatures_match() ? "intact" : "not intact");
    return envelope.all_signatures_match() ? 0 : 1;
}
