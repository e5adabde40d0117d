// The files of a signature container's layer as the window lists them under "Leggi": each with the
// signers whose signatures cover it, or the words that none does.
#pragma once

#include "VelinVerify/pipeline/layer_analysis.h"

#include <string>
#include <vector>

namespace velin {

struct Container_listing_entry {
    std::string name; // as the container names it
    const Document_bytes* bytes = nullptr; // held by the layer's record
    std::string label; // the line the list shows
};

// Empty for a layer that is no container, or before it is decoded.
std::vector<Container_listing_entry> container_listing(const Layer_analysis& layer);

} // namespace velin
