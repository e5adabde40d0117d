#include "cardlib_client/card_library.h"

#include "noraxcard.h"

#include <dlfcn.h>

#include <functional>

namespace velin {

namespace {

constexpr uint32_t Buffer_too_small = 234;
// The largest file or value asked for: a card file is at most a few kilobytes.
constexpr uint32_t Largest_value = 1u << 20;
// A card file's size is 16 bits: this always holds one.
constexpr uint32_t Largest_file = 65535;
// What no item's result is before the library sets it.
constexpr uint32_t Not_answered = 0xFFFFFFFFu;
// A property's buffer, as norax_card_property has always been given.
constexpr uint32_t Property_capacity = 10000;

} // namespace

struct Card_library::Functions {
    norax_result (*error)(char*, uint32_t*) = nullptr;
    norax_result (*read)(const char*, uint8_t*, uint32_t*) = nullptr;
    norax_result (*personal)(uint8_t*, uint32_t*) = nullptr;
    norax_result (*property)(const char*, char*, uint32_t*) = nullptr;
    norax_result (*items)(norax_item*, uint32_t) = nullptr;
};

std::unique_ptr<Card_library> Card_library::load(const std::string& path, std::string& error)
{
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* text = ::dlerror();
        error = text ? text : path;
        return nullptr;
    }
    std::unique_ptr<Card_library> library(new Card_library);
    library->_handle = handle;
    library->_functions = std::make_unique<Functions>();
    Functions& f = *library->_functions;
    f.error = reinterpret_cast<decltype(f.error)>(::dlsym(handle, "norax_error_message"));
    f.read = reinterpret_cast<decltype(f.read)>(::dlsym(handle, "norax_read_binary"));
    f.personal = reinterpret_cast<decltype(f.personal)>(::dlsym(handle, "norax_read_ef_dati_personali"));
    f.property = reinterpret_cast<decltype(f.property)>(::dlsym(handle, "norax_card_property"));
    f.items = reinterpret_cast<decltype(f.items)>(::dlsym(handle, "norax_read_items"));
    if (!f.error || !f.property) {
        error = "norax_card_property o norax_error_message non esportate da " + path;
        return nullptr;
    }
    return library;
}

Card_library::~Card_library()
{
    if (_handle)
        ::dlclose(_handle);
}

Library_answer Card_library::with_error_text(Library_answer answer)
{
    if (answer.ok())
        return answer;
    std::vector<char> text(1024);
    uint32_t size = static_cast<uint32_t>(text.size());
    norax_result result = _functions->error(text.data(), &size);
    if (result == Buffer_too_small && size < Largest_value) {
        text.resize(size + 1);
        size = static_cast<uint32_t>(text.size());
        result = _functions->error(text.data(), &size);
    }
    if (result == 0)
        answer.error_text.assign(text.data(), std::min<size_t>(size, text.size()));
    return answer;
}

// Calls a reading function with a buffer of the size it asks for.
template <class Call>
Library_answer read_with(Call call, uint32_t first_capacity)
{
    Library_answer answer;
    answer.bytes.resize(first_capacity);
    for (int attempt = 0; attempt < 2; ++attempt) {
        uint32_t size = static_cast<uint32_t>(answer.bytes.size());
        answer.code = call(answer.bytes.data(), &size);
        if (answer.code == 0) {
            answer.bytes.resize(std::min<size_t>(size, answer.bytes.size()));
            return answer;
        }
        if (answer.code != Buffer_too_small || size <= answer.bytes.size() || size > Largest_value)
            break;
        answer.bytes.resize(size);
    }
    answer.bytes.clear();
    return answer;
}

Library_answer Card_library::personal_data()
{
    if (!_functions->personal)
        return {Norax_not_exported, {}, "norax_read_ef_dati_personali non esportata dalla libreria della carta."};
    return with_error_text(read_with([this](uint8_t* b, uint32_t* s) { return _functions->personal(b, s); }, 4096));
}

Library_answer Card_library::read_file(const std::string& name)
{
    if (!_functions->read)
        return {Norax_not_exported, {}, "norax_read_binary non esportata dalla libreria della carta."};
    return with_error_text(
        read_with([this, &name](uint8_t* b, uint32_t* s) { return _functions->read(name.c_str(), b, s); }, 4096));
}

Library_answer Card_library::property(const std::string& name)
{
    // A property's value is text of a few thousand characters at most; the library says 234
    // without the size it needs, so the buffer is large from the start.
    Library_answer answer;
    std::vector<char> text(Property_capacity);
    uint32_t size = static_cast<uint32_t>(text.size());
    answer.code = _functions->property(name.c_str(), text.data(), &size);
    if (answer.code == 0)
        answer.bytes.assign(text.data(), text.data() + std::min<size_t>(size, text.size()));
    return with_error_text(std::move(answer));
}

std::vector<Library_answer> Card_library::read_items(const std::vector<Request>& requests)
{
    std::vector<Library_answer> answers(requests.size());
    if (!_functions->items) {
        for (Library_answer& answer : answers)
            answer = {Norax_not_exported, {}, "norax_read_items non esportata dalla libreria della carta."};
        return answers;
    }
    std::vector<norax_item> items(requests.size());
    std::vector<std::vector<char>> messages(requests.size(), std::vector<char>(1024));
    for (size_t i = 0; i < requests.size(); ++i) {
        answers[i].bytes.resize(requests[i].property ? Property_capacity : Largest_file);
        items[i].kind = requests[i].property ? NORAX_ITEM_PROPERTY : NORAX_ITEM_FILE;
        items[i].name = requests[i].name.c_str();
        items[i].buffer = answers[i].bytes.data();
        items[i].size = static_cast<uint32_t>(answers[i].bytes.size());
        items[i].message = messages[i].data();
        items[i].message_size = static_cast<uint32_t>(messages[i].size());
        items[i].result = Not_answered;
    }
    const norax_result result = _functions->items(items.data(), static_cast<uint32_t>(items.size()));
    for (size_t i = 0; i < requests.size(); ++i) {
        Library_answer& answer = answers[i];
        if (items[i].result == Not_answered) {
            // Refused before the items were looked at: the call's code and text are the item's.
            answer = with_error_text({result == 0 ? Not_answered : result, {}, {}});
            continue;
        }
        answer.code = items[i].result;
        if (answer.ok()) {
            answer.bytes.resize(std::min<size_t>(items[i].size, answer.bytes.size()));
            continue;
        }
        answer.bytes.clear();
        messages[i].back() = '\0';
        answer.error_text = messages[i].data();
    }
    return answers;
}

} // namespace velin
