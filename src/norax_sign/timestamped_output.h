// The time stamps a signed document can get from the signer: one on each new signature (CAdES-T,
// made by the card signer itself), or one over the whole envelope, kept beside it in a MIME file
// (".m7m", as the verifier reads it) or in a TimeStampedData file (".tsd", RFC 5544); a PDF gets
// a document time stamp after its signature (PAdES-T).
#pragma once

#include "norax_sign/card_signer.h"
#include "norax_sign/timestamp_client.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velin {

// Tsr: the authority's reply over the envelope (or, time stamping only, over any file), written
// beside it as "FILE.tsr".
enum class Timestamp_form { None, Signature, M7m, Tsd, Pdf, Tsr };

// "cades-t", "m7m", "tsd", "pades-t", "tsr" (compared without regard to case); nothing for any other name.
std::optional<Timestamp_form> timestamp_form_named(std::string_view name);

// The MIME file of an envelope (its bytes are the pieces, one after the other) and the
// authority's reply over them; the boundary is chosen to appear in neither.
std::vector<uint8_t> m7m_file(const std::vector<std::span<const uint8_t>>& envelope, std::span<const uint8_t> reply);

// The bytes of a TimeStampedData file that go before and after an envelope of envelope_size
// bytes: the metadata name the envelope, its content is the envelope, the token covers it.
struct Tsd_wrapping {
    std::vector<uint8_t> head;
    std::vector<uint8_t> tail;
};
Tsd_wrapping tsd_wrapping(uint64_t envelope_size, std::span<const uint8_t> token, const std::string& file_name);

// The signed envelope in output with a time stamp over it, as form asks (M7m or Tsd); the
// envelope's document is still referred to, not copied, in a ".tsd". Nothing, with the user's
// text in failure, when the authority gave no usable time stamp.
std::optional<Signed_output> timestamped_envelope(const Signed_output& output, Timestamp_form form,
                                                  const Timestamp_client& client, const std::string& envelope_name,
                                                  std::string& failure);

// Where a time-stamped document goes, from where its envelope would go: "x.p7m" becomes "x.m7m",
// and a ".tsd" or ".tsr" is the envelope's name with it added ("x.p7m.tsd", "x.pdf.tsr").
std::string timestamped_path(const std::string& envelope_path, Timestamp_form form);

} // namespace velin
