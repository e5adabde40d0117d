// Splits one .m7m file the way the verifier does and writes the two parts, for
// tests/bench/m7m-bench.sh: m7m_split_tool FILE.m7m ENVELOPE_OUT REPLY_OUT
#include "VelinVerify/envelope/mime_envelope_split.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

bool write_all(const char* path, const std::vector<velin::byte>& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FILE.m7m ENVELOPE_OUT REPLY_OUT\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
    if (!in) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    std::vector<velin::byte> file(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(file.size()));

    const auto start = std::chrono::steady_clock::now();
    velin::Mime_envelope_split split;
    const bool ok = !file.empty() && split.split(file);
    const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
        std::fprintf(stderr, "split failed: %s\n", split.message().c_str());
        return 1;
    }
    std::fprintf(stderr, "split in memory: %.3f s\n", elapsed);
    return write_all(argv[2], split.value().envelope) && write_all(argv[3], split.value().timestamp_reply) ? 0 : 1;
}
