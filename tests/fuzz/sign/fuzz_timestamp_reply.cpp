// A time-stamping authority's reply is outside bytes: whatever it holds, the signer's check ends
// with a time stamp or one of its texts, never with a crash; no reply made of fuzzed bytes can
// answer this request's random nonce, so none is ever accepted.
#include "norax_sign/timestamp_client.h"

#include "test_folder.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    velin::test::private_environment();
    static const std::vector<uint8_t> imprint(32, 0x5A);
    static const std::vector<uint8_t> nonce = {0x7F, 0x13, 0xA5, 0x42, 0x99, 0x01, 0xEE, 0x3C};
    std::string failure;
    const auto stamp = velin::checked_timestamp_reply({data, size}, imprint, nonce, "1.3.6.1.4.1.99999.1.1", failure);
    if (stamp || failure.empty())
        std::abort();
    return 0;
}
