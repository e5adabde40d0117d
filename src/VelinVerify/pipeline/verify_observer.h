// What a layer tells the window that holds it: an envelope found inside its document, its final
// outcome, a message box to show, and every change a view of the layer must redraw. Calls come on
// the user-interface thread, from the layer's own message handlers.
#pragma once

#include "VelinVerify/pipeline/message_box_request.h"
#include "envelope/document_bytes.h"
#include "envelope/timestamp_token.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velin {

class Layer_analysis;

enum class Layer_change : int {
    Lines, // the "Attività" list
    Progress, // position, range, caption or background
    Controls, // the control stage, the signer list, the document name
    Signature, // the signature shown (signer, "Data e ora:", "Tipo di firma:", status list)
    Finished, // the layer will do nothing more: summary reported, or stopped without one
};

class Verify_observer {
public:
    virtual ~Verify_observer() = default;

    // The document of the layer is itself an envelope: open it as a new layer under name.
    virtual void inner_envelope_found(Document_bytes content, const std::string& name) = 0;
    // The same, with the time stamps of the outer layers that prove when that envelope existed.
    virtual void inner_container_found(Document_bytes content, const std::string& name,
                                       std::vector<Timestamp_info> covering)
    {
        (void)covering;
        inner_envelope_found(std::move(content), name);
    }
    // The layer's summary: icon 64 success, 48 warnings, 16 errors.
    virtual void layer_completed(Layer_analysis& layer, int icon) = 0;

    virtual void message_box_requested(Layer_analysis& layer, const Box_request& box)
    {
        (void)layer;
        (void)box;
    }
    virtual void layer_changed(Layer_analysis& layer, Layer_change change)
    {
        (void)layer;
        (void)change;
    }
};

} // namespace velin
