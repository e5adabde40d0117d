// norax-read: calls the exports of libnoraxcard.so, loaded with dlopen as a host program would,
// and prints each result. With --answers it answers the library's dialogs in order, as a
// holder at the keyboard would (tests run it under QT_QPA_PLATFORM=offscreen).
#include "dialog_answerer.h"
#include "noraxcard.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* usage_text = R"(usage: norax-read [--library PATH] [--answers LIST] [--size N] COMMAND...
       norax-read --help | --version
Commands, run in order:
  version             norax_dll_version
  error               norax_error_message (the last error text)
  read NAME           norax_read_binary of a file name or hex path
  personal            norax_read_ef_dati_personali
  property NAME       norax_card_property (issuer, manufacturer, type, atr, certificate)
Options:
  --library PATH      the library to load (default: the one built with this tool, else
                      libnoraxcard.so.3 from the system's library path)
  --size N            capacity passed to the next read or property call (default: 65536)
  --answers LIST      answer the library's dialogs in order, comma-separated:
                      yes, no, more (ask for the description), ok, pin:DIGITS
                      Every dialog and box shown is printed to stderr.
Each call prints "NAME: result 0xXXXXXXXX", then the value (hex for reads) or the last error.
)";

using Version_function = norax_result (*)();
using Error_function = norax_result (*)(char*, uint32_t*);
using Read_function = norax_result (*)(const char*, uint8_t*, uint32_t*);
using Personal_function = norax_result (*)(uint8_t*, uint32_t*);
using Property_function = norax_result (*)(const char*, char*, uint32_t*);

struct Library {
    void* handle = nullptr;
    Version_function version = nullptr;
    Error_function error = nullptr;
    Read_function read = nullptr;
    Personal_function personal = nullptr;
    Property_function property = nullptr;
};

struct Library_closer {
    void operator()(void* handle) const { dlclose(handle); }
};

template <class F>
F symbol(void* handle, const char* name)
{
    void* address = dlsym(handle, name);
    if (!address) {
        std::fprintf(stderr, "norax-read: %s is not exported\n", name);
        std::exit(2);
    }
    return reinterpret_cast<F>(address);
}

std::string hex(const uint8_t* bytes, size_t size)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

void print_last_error(const Library& library)
{
    // The buffer protocol: ask for the length, then allow one byte more for the zero.
    uint32_t size = 0;
    library.error(nullptr, &size);
    std::vector<char> text(size + 1);
    size = static_cast<uint32_t>(text.size());
    const norax_result result = library.error(text.data(), &size);
    std::printf("error %s\n", result == 0 ? text.data() : "?");
}

} // namespace

int main(int argc, char** argv)
{
    std::string path = NORAXCARD_DEFAULT_PATH;
    std::deque<std::string> answers;
    bool answering = false;
    int first = 1;
    for (; first < argc; ++first) {
        const std::string arg = argv[first];
        if (arg == "--library" && first + 1 < argc) {
            path = argv[++first];
        } else if (arg == "--answers" && first + 1 < argc) {
            answering = true;
            std::string list = argv[++first];
            for (size_t at = 0; at <= list.size();) {
                const size_t comma = std::min(list.find(',', at), list.size());
                if (comma > at)
                    answers.push_back(list.substr(at, comma - at));
                at = comma + 1;
            }
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(usage_text, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("norax-read %s\n", VELIN_SUITE_VERSION);
            return 0;
        } else {
            break;
        }
    }
    if (first >= argc) {
        std::fputs(usage_text, stderr);
        return 2;
    }

    std::unique_ptr<void, Library_closer> handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    // Away from the build tree the installed library is found by the loader's own search.
    if (!handle && path == NORAXCARD_DEFAULT_PATH) {
        path = "libnoraxcard.so.3";
        handle.reset(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    }
    if (!handle) {
        std::fprintf(stderr, "norax-read: cannot load %s: %s\n", path.c_str(), dlerror());
        return 2;
    }
    Library library;
    library.version = symbol<Version_function>(handle.get(), "norax_dll_version");
    library.error = symbol<Error_function>(handle.get(), "norax_error_message");
    library.read = symbol<Read_function>(handle.get(), "norax_read_binary");
    library.personal = symbol<Personal_function>(handle.get(), "norax_read_ef_dati_personali");
    library.property = symbol<Property_function>(handle.get(), "norax_card_property");

    // Only a tool that answers its own dialogs brings an application; otherwise the library
    // makes the one its dialogs need, as it does for any host without one.
    std::unique_ptr<QApplication> application;
    std::unique_ptr<norax_read::Dialog_answerer> answerer;
    if (answering) {
        application = std::make_unique<QApplication>(argc, argv);
        answerer = std::make_unique<norax_read::Dialog_answerer>(answers);
    }

    uint32_t capacity = 65536;
    int failures = 0;
    for (int i = first; i < argc; ++i) {
        const std::string command = argv[i];
        const bool has_argument = i + 1 < argc;
        if (command == "--size" && has_argument) {
            capacity = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        } else if (command == "version") {
            std::printf("version: 0x%08X\n", library.version());
        } else if (command == "error") {
            print_last_error(library);
        } else if ((command == "read" && has_argument) || command == "personal") {
            const char* name = command == "read" ? argv[++i] : nullptr;
            std::vector<uint8_t> buffer(std::max<uint32_t>(capacity, 1));
            uint32_t size = capacity;
            const norax_result result =
                name ? library.read(name, buffer.data(), &size) : library.personal(buffer.data(), &size);
            std::printf("%s%s%s: result 0x%08X size %u\n", command.c_str(), name ? " " : "", name ? name : "", result,
                        size);
            if (result == 0)
                std::printf("data %s\n", hex(buffer.data(), size).c_str());
            else
                print_last_error(library), ++failures;
        } else if (command == "property" && has_argument) {
            const char* name = argv[++i];
            std::vector<char> buffer(std::max<uint32_t>(capacity, 1));
            uint32_t size = capacity;
            const norax_result result = library.property(name, buffer.data(), &size);
            std::printf("property %s: result 0x%08X size %u\n", name, result, size);
            if (result == 0)
                std::printf("value %s\n", buffer.data());
            else
                print_last_error(library), ++failures;
        } else {
            std::fprintf(stderr, "norax-read: unknown command '%s'\n%s", command.c_str(), usage_text);
            return 2;
        }
        std::fflush(stdout);
    }
    return failures ? 1 : 0;
}
