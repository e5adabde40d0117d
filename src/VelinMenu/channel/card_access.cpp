#include "VelinMenu/channel/card_access.h"

#include "VelinMenu/channel/card_provider.h"

#include <algorithm>
#include <cstring>

namespace velin {

bool is_cns_atr(const std::vector<uint8_t>& atr)
{
    const size_t n = atr.size();
    return n >= 16 && atr[n - 7] == 'C' && atr[n - 6] == 'N' && atr[n - 5] == 'S';
}

Card_access::Card_access(Regional_test regional) : _regional(regional ? regional : &is_regional_card) {}

Card_access_result Card_access::find_card() const
{
    Card_access_result result;
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return result;
    std::vector<char> readers(10000);
    DWORD length = static_cast<DWORD>(readers.size());
    const LONG listed = SCardListReaders(context, nullptr, readers.data(), &length);
    if (listed == SCARD_S_SUCCESS) {
        readers.resize(std::min<size_t>(length, readers.size()));
        readers.push_back('\0');
        readers.push_back('\0');
        try {
            for (const char* name = readers.data(); *name; name += std::strlen(name) + 1) {
                result.card = std::make_shared<ISCard>();
                try {
                    result.card->AttachByReader(name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
                } catch (const Scard_error& error) {
                    result.card.reset();
                    result.kind = (error.code() == Scard_w_removed_card || error.code() == Scard_e_no_smartcard)
                                      ? Card_none
                                      : Card_failure;
                    continue;
                }
                if (is_cns_atr(result.card->get_Atr().bytes())) {
                    result.kind = _regional(name) ? Card_regional_cns : Card_other_cns;
                    break;
                }
                result.kind = Card_not_cns;
            }
        } catch (...) {
            SCardReleaseContext(context);
            throw;
        }
    }
    SCardReleaseContext(context);
    return result;
}

} // namespace velin
