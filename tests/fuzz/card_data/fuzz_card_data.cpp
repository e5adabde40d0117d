// EF.Dati_personali as a card could hold it: parsed, and turned into the rows shown, JSON and
// text, whatever the bytes.
#include "card_data/card_data.h"
#include "card_data/personal_data.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    velin::Card_data shown;
    velin::add_personal_rows(shown, std::vector<uint8_t>(data, data + size));
    (void)shown.as_json();
    (void)shown.as_text();
    return 0;
}
