// Hive files are outside bytes: whatever they hold, parsing ends, and what was read survives a
// rewrite unchanged (the writer serializes exactly what the parser kept).
#include "common/registry.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

bool same_values(const velin::Registry_hive& a, const velin::Registry_hive& b)
{
    if (a.keys().size() != b.keys().size())
        return false;
    for (size_t k = 0; k < a.keys().size(); ++k) {
        const auto& x = a.keys()[k];
        const auto& y = b.keys()[k];
        if (x.name != y.name || x.values.size() != y.values.size())
            return false;
        for (size_t v = 0; v < x.values.size(); ++v)
            if (x.values[v].name != y.values[v].name || x.values[v].type != y.values[v].type ||
                x.values[v].data != y.values[v].data)
                return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const velin::Registry_hive hive = velin::Registry_hive::parse(text);
    const velin::Registry_hive again = velin::Registry_hive::parse(hive.serialize());
    if (!again.intact() || !same_values(hive, again))
        std::abort();
    // The cut form used for files over the size limit must never claim to be whole.
    if (velin::Registry_hive::parse(text, false).intact())
        std::abort();
    return 0;
}
