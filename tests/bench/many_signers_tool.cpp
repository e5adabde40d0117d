// Writes an envelope with many signers, all naming one certificate: many_signers_tool FILE COUNT
#include "envelope_builder.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FILE COUNT\n", argv[0]);
        return 2;
    }
    const std::string document = "Contratto di prova con molti firmatari.\n";
    const std::vector<uint8_t> one = velin::test::build_envelope(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(document.data()), document.size()));
    const std::vector<uint8_t> many = velin::test::with_repeated_signers(one, std::atoi(argv[2]), 1);
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out || std::fwrite(many.data(), 1, many.size(), out) != many.size() || std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
