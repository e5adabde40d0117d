// Time-stamp tokens and replies (also detached ".tsr" / ".tst" files) are outside bytes: whatever they hold, the check
// ends with flags that agree with each other, never with a crash; a token that is not read is never verified.
#include "envelope/content_kind.h"
#include "envelope/timestamp_token.h"

#include "test_folder.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    velin::test::private_environment();
    const std::span<const uint8_t> bytes(data, size);
    const std::vector<uint8_t> covered = {'d', 'o', 'c'};
    const velin::Timestamp_info info = velin::check_timestamp(bytes, velin::digest_of_pieces({covered}));
    if (!info.read && (info.verified() || info.signature_valid || info.imprint_matches))
        std::abort();
    if (info.verified() && (info.certificate.empty() || !info.problem.empty()))
        std::abort();
    if (!info.verified() && info.problem.empty() && info.read && info.signature_valid && info.imprint_matches &&
        info.time_stamping_usage && info.certificate_current)
        std::abort();
    // The look at a detached time stamp's first bytes: only a verdict, whatever they hold; a reply
    // that refuses is never read.
    const velin::Document_types kind = velin::timestamp_kind_by_content(bytes);
    if (kind != velin::Document_types::Detached_timestamp && kind != velin::Document_types::Unsupported)
        std::abort();
    if (info.refused && info.read)
        std::abort();
    // Without covered bytes nothing can match.
    if (velin::check_timestamp(bytes, {}).imprint_matches)
        std::abort();
    return 0;
}
