#include "atr.h"

namespace cns_sim {

namespace {

Bytes with_tck(Bytes atr)
{
    atr.push_back(atr_check_byte(atr));
    return atr;
}

} // namespace

std::uint8_t atr_check_byte(Byte_view atr_without_tck)
{
    std::uint8_t x = 0;
    for (std::size_t i = 1; i < atr_without_tck.size(); ++i)
        x ^= atr_without_tck[i];
    return x;
}

bool atr_needs_tck(Byte_view atr)
{
    // Walk T0/TDi: any TDi naming a protocol other than 0 makes TCK mandatory.
    if (atr.size() < 2)
        return false;
    std::size_t pos = 1;
    std::uint8_t y = atr[pos] >> 4;
    while (pos < atr.size()) {
        std::size_t next = pos;
        for (int bit = 0; bit < 3; ++bit)
            if (y & (1u << bit))
                ++next;
        if (!(y & 0x8))
            return false;
        ++next; // TDi
        if (next >= atr.size())
            return false;
        if ((atr[next] & 0x0F) != 0)
            return true;
        y = atr[next] >> 4;
        pos = next;
    }
    return false;
}

Bytes cns_atr(std::uint8_t manufacturer, std::uint8_t card_type, bool t1)
{
    // Fifteen historical bytes; the card-specific fields are patched in below by their distance
    // from the end of the ATR, which is how the host finds them.
    // Category 00, tag 6B with IC maker, mask maker (patched), OS version 01 02, then 01 for a
    // CNS card, type (patched), 01, "CNS", version 1.0, and 31 80 as the CNS card profile has it.
    Bytes historical = {0x00, 0x6B, 0x56, 0x00, 0x01, 0x02, 0x01, 0x00, 0x01, 'C', 'N', 'S', 0x10, 0x31, 0x80};
    Bytes atr;
    if (t1) {
        // T0: TD1 present, 15 historical bytes. TD1: TD2 present, T=1. TD2: TA3 TB3, T=1.
        // TA3 = IFSC 254, TB3 = BWI 4 / CWI 5.
        atr = {0x3B, 0x8F, 0x81, 0x31, 0xFE, 0x45};
        atr.insert(atr.end(), historical.begin(), historical.end());
        atr.push_back(0x00); // TCK placeholder
    } else {
        // No TD1: T=0 only, and no TCK. The last byte is then a historical byte, so one more
        // is needed to keep the fields at the same distance from the end.
        atr = {0x3B, 0x0F};
        atr.insert(atr.end(), historical.begin(), historical.end());
        atr.erase(atr.begin() + 2); // 15 historical bytes at most: drop the category byte
        atr.push_back(0x90);
    }
    const std::size_t n = atr.size();
    const std::size_t h = n - 16;
    atr[h + 3] = manufacturer;
    atr[h + 7] = card_type;
    atr[n - 7] = 'C';
    atr[n - 6] = 'N';
    atr[n - 5] = 'S';
    if (t1) {
        atr.pop_back();
        return with_tck(std::move(atr));
    }
    return atr;
}

Bytes contactless_reader_atr()
{
    // TD1: TD2 present, T=1; TD2: T=1. Eight historical bytes naming the interface.
    return with_tck({0x3B, 0x88, 0x81, 0x01, 'V', 'E', 'L', 'I', 'N', 'R', 'F', 0x01});
}

Bytes foreign_atr()
{
    return with_tck({0x3B, 0x8A, 0x81, 0x31, 0xFE, 0x45, 'G', 'E', 'N', 'E', 'R', 'I', 'C', 'A', 'R', 'D'});
}

Bytes alternative_pattern_atr()
{
    // T0: TA1 TB1 TC1 TD1, 10 historical bytes. TD1: TD2 present, T=1. TD2: TA3 TB3, T=1.
    return with_tck(
        {0x3B, 0xFA, 0x11, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x55, 0x00, 'V', 'E', 'L', 'I', 'N', 'A', 'L', 'T', 0x01});
}

} // namespace cns_sim
