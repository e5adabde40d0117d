// Writes an envelope with many signers, all naming one certificate:
//     many_signers_tool FILE COUNT [ENVELOPE]
// The signer repeated is that of ENVELOPE (DER, one signer and its certificate) when given, for
// instance one signed with the test authority's certificate whose list the CRL check reads;
// otherwise a built-in signer without a known issuer.
#include "envelope_builder.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s FILE COUNT [ENVELOPE]\n", argv[0]);
        return 2;
    }
    std::vector<uint8_t> one;
    if (argc == 4) {
        std::ifstream in(argv[3], std::ios::binary);
        one.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            std::perror(argv[3]);
            return 1;
        }
    } else {
        const std::string document = "Contratto di prova con molti firmatari.\n";
        one = velin::test::build_envelope(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(document.data()), document.size()));
    }
    const std::vector<uint8_t> many = velin::test::with_repeated_signers(one, std::atoi(argv[2]), 1);
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out || std::fwrite(many.data(), 1, many.size(), out) != many.size() || std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
