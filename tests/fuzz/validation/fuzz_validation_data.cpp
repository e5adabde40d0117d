// The validation values a signed file carries are outside bytes: whatever they hold, reading them
// ends with items that lie inside the input (OCSP answers made whole), at most the limit of each
// kind, and decoding them for use never crashes; an archived answer about a certificate it cannot
// name never decides.
#include "envelope/validation_data.h"
#include "trust/carried_validation.h"
#include "trust/ocsp.h"

#include "test_folder.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

bool inside(const std::vector<uint8_t>& item, std::span<const uint8_t> input)
{
    return std::search(input.begin(), input.end(), item.begin(), item.end()) != input.end();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    velin::test::private_environment();
    // The first byte says where the certificate values end and the revocation values start.
    const std::span<const uint8_t> input(data, size);
    const size_t split = size == 0 ? 0 : std::min<size_t>(size - 1, data[0] * 16u);
    const auto certificates = input.subspan(size == 0 ? 0 : 1, split);
    const auto revocation = input.subspan(std::min(size, split + 1));
    const velin::Validation_data values = velin::validation_values(certificates, revocation);
    for (const auto& item : values.certificates)
        if (!inside(item, certificates))
            std::abort();
    for (const auto& item : values.crls)
        if (!inside(item, revocation))
            std::abort();
    // The same bytes as a PDF signer's revocation archive.
    const velin::Validation_data archived = velin::archived_revocation_values(revocation);
    for (const auto& item : archived.crls)
        if (!inside(item, revocation))
            std::abort();
    if (!archived.certificates.empty() || archived.crls.size() > velin::Validation_item_limit ||
        archived.ocsp_answers.size() > velin::Validation_item_limit)
        std::abort();
    if (values.certificates.size() > velin::Validation_item_limit ||
        values.crls.size() > velin::Validation_item_limit || values.ocsp_answers.size() > velin::Validation_item_limit)
        std::abort();

    // The whole input as each kind of item, as a PDF's DSS would hand it over.
    velin::Validation_data raw{
        {{input.begin(), input.end()}}, {{input.begin(), input.end()}}, {{input.begin(), input.end()}}};
    raw.add(values);
    raw.add(archived);
    const velin::Carried_validation carried = velin::Carried_validation::from(raw);
    for (const auto& certificate : carried.certificates)
        (void)carried.issuers_of(certificate);
    for (const auto& list : carried.crls)
        (void)velin::carried_list_speaks_for(list, std::nullopt);
    for (const auto& answer : carried.ocsp_answers)
        if (velin::judge_ocsp_answer(answer, {}, {}, nullptr, std::nullopt, true).status !=
            velin::Ocsp_status::No_answer)
            std::abort();
    (void)velin::carried_validation_text(raw);
    return 0;
}
