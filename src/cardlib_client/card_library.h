// libnoraxcard loaded with dlopen, as any program that uses the card does: the holder's data, a
// card file, the card's properties, and the library's own text for a failure.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velin {

// What one call of the library gave: code 0 and the value, or the code and the library's text.
struct Library_answer {
    uint32_t code = 0;
    std::vector<uint8_t> bytes; // a file's bytes, or a property's text
    std::string error_text;

    bool ok() const { return code == 0; }
    std::string text() const { return std::string(bytes.begin(), bytes.end()); }
};

// The holder refused, or cancelled the PIN.
constexpr uint32_t Norax_cancelled = 0x80040234;
// The holder did not answer Yes to a technical question.
constexpr uint32_t Norax_access_denied = 0x80070005;

class Card_library {
public:
    // The library at path (dlopen's own search for a bare name); nothing when it cannot be
    // loaded or lacks norax_card_property or norax_error_message, with the reason in error. A
    // reading function it lacks fails when it is called.
    static std::unique_ptr<Card_library> load(const std::string& path, std::string& error);
    ~Card_library();
    Card_library(const Card_library&) = delete;
    Card_library& operator=(const Card_library&) = delete;

    Library_answer personal_data();
    Library_answer read_file(const std::string& name);
    // With a buffer of 10,000 characters, as the library's callers have always passed it.
    Library_answer property(const std::string& name);

    // The things one view shows, read after one question to the holder that lists them: an
    // answer for each, as the single call would give it.
    struct Request {
        bool property = false; // else a card file
        std::string name;
    };
    std::vector<Library_answer> read_items(const std::vector<Request>& requests);

    struct Functions;

private:
    Card_library() = default;
    Library_answer with_error_text(Library_answer answer);

    void* _handle = nullptr;
    std::unique_ptr<Functions> _functions;
};

// What a reading function the library does not export answers.
constexpr uint32_t Norax_not_exported = 0x80004005;

// The installed library's name.
constexpr const char* Card_library_name = "libnoraxcard.so.3";

} // namespace velin
