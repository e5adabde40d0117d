// Fuzz target: arbitrary bytes as the stream vpcd sends the simulated card (frames of control
// codes and command APDUs), fed in pieces whose sizes come from the input itself. Every card
// profile sees the same stream; the card must answer or ignore each frame without crashing and
// without growing its buffer beyond one frame.
#include "apdu_log.h"
#include "cns_profile.h"
#include "vpcd_session.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace {

using namespace cns_sim;

Bytes fake_certificate()
{
    // Shape of a DER certificate is enough here: the card stores it, it never parses it.
    Bytes der = {0x30, 0x82, 0x01, 0x00};
    der.resize(0x104, 0xA5);
    return der;
}

// One RSA key for the whole run (made once: key generation would swamp the fuzzing), so that
// the security environment and the key operations are reached too.
const Bytes& card_key()
{
    static const Bytes der = [] {
        EVP_PKEY* key = EVP_RSA_gen(1024);
        if (key == nullptr)
            throw std::runtime_error("no RSA key");
        unsigned char* out = nullptr;
        const int n = i2d_PrivateKey(key, &out);
        EVP_PKEY_free(key);
        if (n <= 0)
            throw std::runtime_error("RSA key not encoded");
        Bytes bytes(out, out + n);
        OPENSSL_free(out);
        return bytes;
    }();
    return der;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    // First byte picks the profile and switches; the rest is the stream.
    const std::uint8_t knobs = data[0];
    Profile_options o;
    o.kind = static_cast<Profile_kind>(knobs % 5);
    o.t0 = (knobs & 0x08) && (o.kind == Profile_kind::regional || o.kind == Profile_kind::other_issuer);
    o.path_select = !(knobs & 0x10);
    o.fci = (knobs & 0x20) ? Fci_style::fcp_62_size_81 : Fci_style::fci_6f_size_80;
    o.pin_failure = (knobs & 0x40) ? Pin_failure_style::plain_6300 : Pin_failure_style::retries_63cx;
    o.holder_certificate = fake_certificate();
    o.holder_key = card_key();
    if (o.kind == Profile_kind::regional) {
        o.signature_certificate = fake_certificate();
        o.signature_key = card_key();
    }
    Card_image image = build_card(o);
    Pin_store pins(Pin_state{});
    Simulated_card card(std::move(image.config), std::move(image.files), pins);
    Apdu_log log;
    Session_faults faults;
    if (knobs & 0x80)
        faults.short_reply = knobs & 1;
    Vpcd_session session(card, faults, log);

    Byte_view stream(data + 1, size - 1);
    std::size_t piece = 1 + (knobs % 7);
    while (!stream.empty()) {
        const std::size_t n = std::min(piece, stream.size());
        const auto step = session.feed(stream.first(n));
        // What goes back to the reader is whole frames, none longer than 256 bytes of data
        // plus a status word.
        for (std::size_t pos = 0; pos < step.output.size();) {
            if (step.output.size() - pos < 2)
                throw std::logic_error("truncated frame header");
            const std::size_t length = static_cast<std::size_t>(step.output[pos] << 8 | step.output[pos + 1]);
            if (length > 258 || step.output.size() - pos - 2 < length)
                throw std::logic_error("bad reply frame");
            pos += 2 + length;
        }
        if (step.leave)
            break;
        stream = stream.subspan(n);
        piece = piece * 3 % 1024 + 1;
    }
    return 0;
}
