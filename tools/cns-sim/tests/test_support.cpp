#include "test_support.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace cns_sim::test {

Bytes fixture(const std::string& name)
{
    std::ifstream in(std::string(CARD_FIXTURES_DIR) + "/" + name, std::ios::binary);
    if (!in)
        throw std::runtime_error("missing card fixture " + name + " (run tools/make-card-pki)");
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Bytes hex(const std::string& text)
{
    auto bytes = from_hex(text);
    if (!bytes)
        throw std::invalid_argument("bad hex in test: " + text);
    return *bytes;
}

std::uint16_t status_of(const Bytes& reply)
{
    if (reply.size() < 2)
        throw std::runtime_error("reply shorter than a status word");
    return static_cast<std::uint16_t>(reply[reply.size() - 2] << 8 | reply.back());
}

Bytes data_of(const Bytes& reply)
{
    return Bytes(reply.begin(), reply.end() - 2);
}

Profile_options profile(Profile_kind kind)
{
    Profile_options o;
    o.kind = kind;
    if (kind != Profile_kind::non_cns)
        o.holder_certificate =
            fixture(kind == Profile_kind::other_issuer ? "holder-other.cert.der" : "holder-regional.cert.der");
    return o;
}

Test_card::Test_card(Profile_options options, Pin_state pins) : store(pins)
{
    if (options.holder_certificate.empty() && options.kind != Profile_kind::non_cns)
        options.holder_certificate = profile(options.kind).holder_certificate;
    Card_image image = build_card(options);
    card = std::make_unique<Simulated_card>(std::move(image.config), std::move(image.files), store);
}

long fci_size(const Bytes& fci)
{
    if (fci.size() < 2 || (fci[0] != 0x6F && fci[0] != 0x62))
        return -1;
    long size = -1;
    for (std::size_t pos = 2; pos + 2 <= fci.size();) {
        const std::uint8_t tag = fci[pos];
        const std::size_t len = fci[pos + 1];
        if (pos + 2 + len > fci.size())
            break;
        if ((tag == 0x80 || tag == 0x81) && len == 2)
            size = fci[pos + 2] << 8 | fci[pos + 3];
        pos += 2 + len;
    }
    return size;
}

} // namespace cns_sim::test
