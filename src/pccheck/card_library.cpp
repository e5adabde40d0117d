#include "pccheck/card_library.h"

#include "common/trace.h"

#include <vector>

#include <dlfcn.h>

namespace velin::pccheck {

namespace {

constexpr uint32_t Buffer_characters = 10000;

std::string loader_error()
{
    const char* text = ::dlerror();
    return text ? text : "";
}

} // namespace

void Card_library::Close::operator()(void* handle) const
{
    ::dlclose(handle);
}

Card_library::Card_library(const std::string& library)
{
    ::dlerror();
    _handle.reset(::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!_handle) {
        _load_error = loader_error();
        Trace(Trace_kind, Level_warn) << "Libreria della carta non caricata: " << _load_error;
        return;
    }
    _property = reinterpret_cast<Property_function>(::dlsym(_handle.get(), "norax_card_property"));
    _error_message = reinterpret_cast<Message_function>(::dlsym(_handle.get(), "norax_error_message"));
    if (!loaded())
        _load_error = "norax_card_property o norax_error_message non esportate da " + library;
}

Card_library::~Card_library() = default;

std::string Card_library::property_line(const std::string& name) const
{
    if (!loaded())
        return name + ": <non rilevato>";
    std::vector<char> buffer(Buffer_characters + 1, '\0');
    uint32_t size = Buffer_characters;
    if (_property(name.c_str(), buffer.data(), &size) == 0) {
        buffer[Buffer_characters] = '\0'; // whatever the library did, the text ends in the buffer
        return name + ": " + buffer.data();
    }
    std::vector<char> message(Buffer_characters + 1, '\0');
    uint32_t message_size = Buffer_characters;
    if (_error_message(message.data(), &message_size) == 0 && message[0] != '\0') {
        message[Buffer_characters] = '\0';
        return name + ": " + message.data();
    }
    return name + ": <non rilevato>";
}

} // namespace velin::pccheck
