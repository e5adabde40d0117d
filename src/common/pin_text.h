// A PIN or PUK in a buffer of its own, never in a std::string: a string's buffer is copied, moved
// and regrown behind the caller's back, and what it leaves behind is not wiped. Moving copies the
// characters and wipes the source; the destructor wipes the buffer (OPENSSL_cleanse).
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace velin {

class Pin_text {
public:
    static constexpr size_t Capacity = 16;

    Pin_text() = default;
    // At most Capacity characters are kept: a longer text leaves the PIN empty.
    explicit Pin_text(std::string_view text);
    Pin_text(const char* text) : Pin_text(text ? std::string_view(text) : std::string_view()) {}
    ~Pin_text() { wipe(); }
    Pin_text(Pin_text&& other) noexcept;
    Pin_text& operator=(Pin_text&& other) noexcept;
    Pin_text(const Pin_text&) = delete;
    Pin_text& operator=(const Pin_text&) = delete;

    // Appends one character; false (nothing kept) once the buffer is full.
    bool push_back(char c);
    void wipe() noexcept;

    const char* data() const { return _text.data(); }
    // The same bytes, followed by a NUL: for the C interfaces that take a PIN as a C string.
    const char* c_str() const { return _text.data(); }
    size_t size() const { return _size; }
    bool empty() const { return _size == 0; }
    std::string_view view() const { return {_text.data(), _size}; }

private:
    std::array<char, Capacity + 1> _text{};
    size_t _size = 0;
};

} // namespace velin
