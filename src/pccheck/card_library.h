// The card library, loaded at run time as any other program would load it: the PC check must
// still run (and say so) on a machine where it is missing or broken.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velin::pccheck {

class Card_library {
public:
    // Loads the library (a path, or a name for the loader's search). loaded() tells the outcome.
    explicit Card_library(const std::string& library);
    ~Card_library();
    Card_library(const Card_library&) = delete;
    Card_library& operator=(const Card_library&) = delete;

    bool loaded() const { return _property && _error_message; }
    // Why the library could not be loaded (the loader's text).
    const std::string& load_error() const { return _load_error; }

    // "NAME: value", "NAME: " + the library's error text, or "NAME: <non rilevato>", with
    // buffers of 10,000 characters as the library's callers always passed them.
    std::string property_line(const std::string& name) const;

private:
    using Property_function = uint32_t (*)(const char*, char*, uint32_t*);
    using Message_function = uint32_t (*)(char*, uint32_t*);
    struct Close {
        void operator()(void* handle) const;
    };

    std::unique_ptr<void, Close> _handle;
    Property_function _property = nullptr;
    Message_function _error_message = nullptr;
    std::string _load_error;
};

} // namespace velin::pccheck
