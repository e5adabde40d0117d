// The reader list comes from the PC/SC service, whatever it holds: names without terminators,
// a length that does not match the bytes. The first byte says how far the service's lengths are
// off; the rest is the list.
#include "card_io/pcsc.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int skew = static_cast<int8_t>(data[0]);
    const char* list = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;

    for (const std::string& name : velin::card_io::reader_names(list, length))
        if (name.empty() || name.size() > length)
            std::abort();

    // A service that claims more or fewer bytes than it writes, within the buffer it was given.
    auto service = [&](char* names, DWORD* capacity) -> LONG {
        const long claimed = static_cast<long>(length) + skew;
        if (!names) {
            *capacity = static_cast<DWORD>(claimed < 0 ? 0 : claimed);
            return SCARD_S_SUCCESS;
        }
        const size_t written = std::min<size_t>(*capacity, length);
        std::memcpy(names, list, written);
        *capacity = static_cast<DWORD>(claimed < 0 ? 0 : claimed);
        return SCARD_S_SUCCESS;
    };
    std::vector<std::string> names;
    velin::card_io::list_reader_names(service, names);
    for (const std::string& name : names)
        if (name.empty() || name.size() > length)
            std::abort();
    return 0;
}
