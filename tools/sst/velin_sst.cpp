// velin-sst write OUTPUT.sst FILE...   a serialized store holding every certificate of the files
//                                      (DER, PEM, PKCS#7, .sst), in the order given
// velin-sst list FILE                  thumbprint and name of each certificate of a store file
#include "trust/certificate_store.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr, "uso: velin-sst write USCITA.sst FILE... | velin-sst list FILE\n");
    return 2;
}

int write_store(int count, char** files)
{
    auto store = velin::Certificate_store::create_memory();
    for (int i = 1; i < count; ++i) {
        uint32_t error = 0;
        auto input = velin::Certificate_store::open_file(files[i], &error);
        if (!input) {
            std::fprintf(stderr, "velin-sst: %s illeggibile (errore %u)\n", files[i], error);
            return 1;
        }
        for (const velin::Certificate& certificate : input->certificates())
            store->add_certificate(certificate);
    }
    uint32_t error = 0;
    if (!store->save_file(files[0], &error)) {
        std::fprintf(stderr, "velin-sst: scrittura di %s fallita (errore %u)\n", files[0], error);
        return 1;
    }
    return 0;
}

int list_store(const char* file)
{
    uint32_t error = 0;
    auto store = velin::Certificate_store::open_file(file, &error);
    if (!store) {
        std::fprintf(stderr, "velin-sst: %s illeggibile (errore %u)\n", file, error);
        return 1;
    }
    for (const velin::Certificate& certificate : store->certificates())
        std::printf("%s %s\n", certificate.thumbprint().c_str(), certificate.display_name().c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "write") == 0)
        return write_store(argc - 2, argv + 2);
    if (argc == 3 && std::strcmp(argv[1], "list") == 0)
        return list_store(argv[2]);
    return usage();
}
