// TimeStampedData files are outside bytes: the reader ends with a structure or a reason, never
// with a crash, and what it gives lies inside the input; every time stamp of the chain is then
// checked as the verifier checks it. The BER reader's definite form of what it read reads back
// to the same elements.
#include "envelope/ber_reader.h"
#include "envelope/content_kind.h"
#include "envelope/timestamp_token.h"
#include "envelope/timestamped_data.h"

#include "test_folder.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    velin::test::private_environment();
    const std::span<const uint8_t> bytes(data, size);
    (void)velin::document_type_by_content(bytes);

    std::string problem;
    const auto tsd = velin::read_timestamped_data(bytes, problem);
    if (tsd.has_value() != problem.empty())
        std::abort();
    if (tsd) {
        if (tsd->chain.empty() || (tsd->content && tsd->content->size() > size))
            std::abort();
        for (size_t i = 0; i < tsd->chain.size(); ++i) {
            const auto covered = i == 0 && tsd->content ? velin::digest_of_pieces({tsd->meta_data_der, *tsd->content})
                                                        : velin::digest_of_pieces({tsd->chain[i].time_stamp_and_crl});
            (void)velin::check_timestamp(tsd->chain[i].token, covered);
        }
    }

    if (const auto element = velin::read_ber(bytes)) {
        if (element->whole.size() > size)
            std::abort();
        const std::vector<uint8_t> definite = velin::ber_definite(*element);
        const auto again = velin::read_ber(definite);
        if (!again)
            std::abort();
        // Too deep to rewrite, an element comes back as it is; anything rewritten is definite and
        // stays the same when rewritten again.
        const bool unchanged =
            std::equal(definite.begin(), definite.end(), element->whole.begin(), element->whole.end());
        if (!unchanged && (again->indefinite || velin::ber_definite(*again) != definite))
            std::abort();
    }
    return 0;
}
