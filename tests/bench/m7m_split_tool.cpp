// Splits one .m7m file the way the verifier does and writes the two parts, for
// tests/bench/m7m-bench.sh: m7m_split_tool FILE.m7m ENVELOPE_OUT REPLY_OUT
#include "envelope/mime_envelope_split.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include <sys/stat.h>

namespace {

bool write_all(const char* path, const std::vector<velin::byte>& data)
{
    std::FILE* out = std::fopen(path, "wb");
    if (!out)
        return false;
    const bool written = std::fwrite(data.data(), 1, data.size(), out) == data.size();
    return (std::fclose(out) == 0) && written;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FILE.m7m ENVELOPE_OUT REPLY_OUT\n", argv[0]);
        return 2;
    }
    // Read the way the verifier holds a file: all of it in memory, once.
    struct stat info {};
    std::FILE* in = std::fopen(argv[1], "rb");
    if (!in || ::fstat(fileno(in), &info) != 0) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    const auto size = static_cast<size_t>(info.st_size);
    std::unique_ptr<velin::byte[]> file(new velin::byte[size]);
    const bool read = std::fread(file.get(), 1, size, in) == size;
    std::fclose(in);
    if (!read) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }

    const auto start = std::chrono::steady_clock::now();
    velin::Mime_envelope_split split;
    const bool ok = size > 0 && split.split({file.get(), size});
    const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
        std::fprintf(stderr, "split failed: %s\n", split.message().c_str());
        return 1;
    }
    std::fprintf(stderr, "split in memory: %.3f s\n", elapsed);
    return write_all(argv[2], split.value().envelope) && write_all(argv[3], split.value().timestamp_reply) ? 0 : 1;
}
