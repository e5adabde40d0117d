// Times the two ways the verifier gets its trusted lists: reading and verifying the XML of a list
// (what a refresh does, and a start-up without a sound cache), and loading the parsed cache (what
// every start-up does). Prints the best and median of N runs of each.
//     trusted_list_bench LIST.xml SIGNER.cert.pem [RUNS]
#include "trust/trusted_list_reader.h"
#include "trust/trusted_list_store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

namespace {

std::vector<uint8_t> read_all(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class Work>
void time_runs(const char* name, int runs, Work work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%-34s best %8.2f ms   median %8.2f ms\n", name, times.front(), times[times.size() / 2]);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::cerr << "uso: trusted_list_bench LISTA.xml FIRMATARIO.cert.pem [RIPETIZIONI]\n";
        return 2;
    }
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 10;
    const std::vector<uint8_t> bytes = read_all(argv[1]);
    const std::vector<uint8_t> pem = read_all(argv[2]);
    const std::vector<velin::Certificate> pins = velin::pem_certificates(std::string(pem.begin(), pem.end()));

    velin::Trusted_list_reading reading = velin::read_trusted_list(bytes, pins);
    if (!reading.verified) {
        std::cerr << reading.failure << '\n';
        return 1;
    }
    std::printf("lista: %zu byte, %zu servizi\n", bytes.size(), reading.list.services.size());
    time_runs("lettura e verifica dell'XML", runs, [&] {
        if (!velin::read_trusted_list(bytes, pins).verified)
            std::abort();
    });

    // A kept folder whose European list is the benchmark's list itself: the national list's
    // size is what matters, and the cache holds it once.
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "velin-tl-bench";
    std::filesystem::create_directories(folder);
    const velin::Kept_list kept{reading.list, reading.signer.thumbprint()};
    const std::vector<uint8_t> cache = velin::write_trusted_list_cache(kept, {});
    std::ofstream(velin::trusted_list_cache_path(folder.string()), std::ios::binary)
        .write(reinterpret_cast<const char*>(cache.data()), static_cast<std::streamsize>(cache.size()));
    std::printf("cache: %zu byte\n", cache.size());
    time_runs("caricamento della cache all'avvio", runs, [&] {
        std::vector<velin::List_load_line> lines;
        if (!velin::load_trusted_lists(folder.string(), pins, 0, lines))
            std::abort();
    });
    // The cache's own reading, and what decoding every certificate it holds would add (OpenSSL
    // decodes each public key): the start-up leaves that to the few certificates chain building
    // asks for.
    time_runs("  di cui lettura della cache", runs, [&] {
        if (!velin::read_trusted_list_cache(cache))
            std::abort();
    });
    time_runs("decodifica di tutti i certificati", runs, [&] {
        for (const velin::Trust_service& service : reading.list.services)
            for (const velin::Certificate& certificate : service.certificates)
                if (!velin::Certificate(certificate.der()).is_valid())
                    std::abort();
    });
    std::filesystem::remove_all(folder);
    return 0;
}
