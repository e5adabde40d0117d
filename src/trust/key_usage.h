// The key usage bits of a certificate, as the two bytes of the keyUsage bit string: first byte
// digitalSignature 0x80, nonRepudiation 0x40, keyEncipherment 0x20, dataEncipherment 0x10,
// keyAgreement 0x08, keyCertSign 0x04, cRLSign 0x02, encipherOnly 0x01; second byte
// decipherOnly 0x80.
#pragma once

#include "common/failure.h"
#include "trust/certificate.h"

#include <array>
#include <cstdint>

namespace velin {

constexpr uint8_t Non_repudiation_key_usage = 0x40;

// Succeeds only when the certificate carries exactly one keyUsage extension (2.5.29.15) that
// decodes; reading the bits otherwise is "Assertion failed: succeeded ()".
class Key_usage : public Boolean_function<std::array<uint8_t, 2>> {
public:
    explicit Key_usage(const Certificate& certificate);

    bool non_repudiation() const { return (value()[0] & Non_repudiation_key_usage) != 0; }
};

} // namespace velin
