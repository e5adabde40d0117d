#include "common/pin_text.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace velin {

Pin_text::Pin_text(std::string_view text)
{
    if (text.size() > Capacity)
        return;
    std::copy(text.begin(), text.end(), _text.begin());
    _size = text.size();
}

Pin_text::Pin_text(Pin_text&& other) noexcept
{
    *this = std::move(other);
}

Pin_text& Pin_text::operator=(Pin_text&& other) noexcept
{
    if (this != &other) {
        wipe();
        _text = other._text;
        _size = other._size;
        other.wipe();
    }
    return *this;
}

bool Pin_text::push_back(char c)
{
    if (_size == Capacity)
        return false;
    _text[_size++] = c;
    return true;
}

void Pin_text::wipe() noexcept
{
    OPENSSL_cleanse(_text.data(), _text.size());
    _size = 0;
}

} // namespace velin
