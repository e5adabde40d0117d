#include "VelinVerify/pipeline/container_listing.h"

#include <algorithm>

namespace velin {

std::vector<Container_listing_entry> container_listing(const Layer_analysis& layer)
{
    std::vector<Container_listing_entry> listing;
    if (layer.controls_stage() < 2 || !layer.info() || !layer.info()->envelope.is_assigned())
        return listing;
    const Envelope_info& envelope = layer.info()->envelope.value();
    const std::vector<std::string> signers = layer.signer_names();
    for (const Envelope_info::Container_file& file : envelope.container_files) {
        std::string covering;
        if (envelope.signatures.is_assigned())
            for (size_t i = 0; i < envelope.signatures.value().size() && i < signers.size(); ++i) {
                const auto& covers = envelope.signatures.value()[i].covers;
                if (std::find(covers.begin(), covers.end(), file.name) != covers.end())
                    covering += (covering.empty() ? "" : ", ") + signers[i];
            }
        std::string label = file.name;
        if (!covering.empty())
            label += " (firmato da " + covering + ")";
        else if (file.timestamped)
            label += " (con marca temporale)";
        else
            label += " (non coperto da alcuna firma)";
        listing.push_back({file.name, &file.bytes, std::move(label)});
    }
    return listing;
}

} // namespace velin
