// The decoded CRL distribution points extension of a certificate, as a result object.
#pragma once

#include "common/failure.h"
#include "trust/certificate.h"

#include <openssl/x509v3.h>

#include <memory>

namespace velin {

class Distribution_points : public Boolean_procedure {
public:
    // Fails with "Il certificato non contiene la lista dei punti di distribuzione della relativa
    // CRL." when the extension is missing, with an empty message when it cannot be decoded.
    explicit Distribution_points(const Certificate& certificate);

    int count() const;
    // Requires 0 <= index < count ().
    const DIST_POINT& point(int index) const;

private:
    std::shared_ptr<CRL_DIST_POINTS> _points;
};

// The platform's numbering of a point's name (no name 0, full name 1, relative name 2) and of a
// general name's kind (other name 1 ... URL 7 ... registered id 9), kept for the trace records.
constexpr int Crl_dist_point_full_name = 1;
int distribution_point_name_choice(const DIST_POINT& point);
int alternative_name_choice(const GENERAL_NAME& name);

} // namespace velin
