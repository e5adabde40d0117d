// Revocation lists read from an LDAP directory named by an ldap:// or ldaps:// URL (the base DN,
// attributes, scope and filter of the URL; certificateRevocationList;binary when it names no
// attribute). Every read is bounded in time.
#pragma once

#include "common/failure.h"
#include "trust/certificate_revocation_list.h"

#include <chrono>
#include <string>
#include <vector>

namespace velin {

// Result codes of the library that callers write to the trace.
constexpr int Ldap_user_cancelled = -8; // the read was not started: the analysis is cancelled
constexpr int Ldap_no_such_attribute = 16; // the directory answered but holds no list

struct Ldap_time_limits {
    std::chrono::milliseconds connect{std::chrono::seconds(30)};
    std::chrono::milliseconds search{std::chrono::seconds(60)};
};

// The result is the LDAP result code (0 once the directory answered the search); on failure the
// message is the library's text for it.
class Ldap_crl_store : public Procedure<int, 0, -1> {
public:
    Ldap_crl_store() = default;

    // Connects, searches and keeps every attribute value that is a CRL, in the order the
    // directory gave them. Returns succeeded ().
    bool open(const std::string& url, const Ldap_time_limits& limits = {});

    const std::vector<Certificate_revocation_list>& lists() const { return _lists; }

private:
    void fail(int code, const std::string& text);

    std::vector<Certificate_revocation_list> _lists;
};

} // namespace velin
