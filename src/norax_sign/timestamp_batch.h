// Time stamps for documents that are already signed, or for any document, without the card: a
// signature time stamp on each signer of an envelope (written back over it), the envelope with
// its time stamp in an ".m7m", any file inside a ".tsd", or the reply over any file in a ".tsr"
// beside it.
#pragma once

#include "norax_sign/sign_batch.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velin {

// Time-stamps every document as form says (Signature, M7m, Tsd, Pdf or Tsr), asking the user where a file
// would be overwritten; 0, Result_cancelled when the user gave up, or Result_failed when the
// authority gave no time stamp (the batch stops there). Documents that failed otherwise only
// suppress the final summary; failed_documents, when given, receives how many did.
uint32_t timestamp_batch(Sign_batch_ui& ui, const std::vector<std::string>& paths, Timestamp_form form,
                         const std::string& output_folder, const Timestamp_client& client,
                         size_t* failed_documents = nullptr);

extern const char* const Text_timestamped_and_saved;
extern const char* const Text_timestamp_failed;

} // namespace velin
