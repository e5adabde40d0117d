#include "trust/revocation_distribution_points.h"

#include "common/trace.h"

#include <openssl/err.h>

#include <string>

namespace velin {

Distribution_points::Distribution_points(const Certificate& certificate)
{
    X509* x509 = certificate.checked_handle();
    const int index = X509_get_ext_by_NID(x509, NID_crl_distribution_points, -1);
    if (index < 0) {
        set_error("Il certificato non contiene la lista dei punti di distribuzione della relativa CRL.");
        return;
    }
    ERR_clear_error();
    CRL_DIST_POINTS* decoded = static_cast<CRL_DIST_POINTS*>(X509V3_EXT_d2i(X509_get_ext(x509, index)));
    if (!decoded) {
        trace_value("GetLastError ()", std::to_string(ERR_peek_last_error()));
        ERR_clear_error();
        set_error("");
        return;
    }
    _points = std::shared_ptr<CRL_DIST_POINTS>(decoded, CRL_DIST_POINTS_free);
    set_result(true);
}

int Distribution_points::count() const
{
    return _points ? sk_DIST_POINT_num(_points.get()) : 0;
}

const DIST_POINT& Distribution_points::point(int index) const
{
    assertion(index >= 0 && index < count(), "index lt count ()");
    return *sk_DIST_POINT_value(_points.get(), index);
}

int distribution_point_name_choice(const DIST_POINT& point)
{
    if (!point.distpoint)
        return 0;
    return point.distpoint->type == 0 ? Crl_dist_point_full_name : 2;
}

int alternative_name_choice(const GENERAL_NAME& name)
{
    // GEN_OTHERNAME (0) ... GEN_RID (8) are one below the platform's numbers.
    return name.type + 1;
}

} // namespace velin
