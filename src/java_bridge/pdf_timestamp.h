// Document time stamps on PDF documents: the PDF classes lay out an incremental update with a
// hole for the token, the caller gets the time stamp over what the update covers, and the token
// goes into the hole. Every signature before it keeps its bytes.
#pragma once

#include <jni.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

// The time-stamp token (DER) over the bytes whose SHA-256 digest is given; nothing, with the
// user's text in failure, when there is none.
using Digest_stamper =
    std::function<std::optional<std::vector<uint8_t>>(std::span<const uint8_t> sha256, std::string& failure)>;

// The PDF of the Java array pdf with a document time stamp from stamp added: a new array (a local
// reference), or null with the user's text in failure. The machine must be running and env
// attached to it.
jbyteArray pdf_with_document_timestamp(JNIEnv* env, jbyteArray pdf, const Digest_stamper& stamp, std::string& failure);

extern const char* const Pdf_timestamp_class;
extern const char* const Text_pdf_timestamp_failed;

} // namespace velin
