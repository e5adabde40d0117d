#include "trust/ldap_crl.h"

#include "common/owner.h"
#include "common/trace.h"

#include <ldap.h>

#include <memory>
#include <span>
#include <strings.h>

namespace velin {

static_assert(Ldap_user_cancelled == LDAP_USER_CANCELLED);
static_assert(Ldap_no_such_attribute == LDAP_NO_SUCH_ATTRIBUTE);

namespace {

// The directory library's objects, each let go by its own call.
struct Ldap_release {
    void operator()(LDAP* p) const { ldap_unbind_ext_s(p, nullptr, nullptr); }
    void operator()(LDAPURLDesc* p) const { ldap_free_urldesc(p); }
    void operator()(LDAPMessage* p) const { ldap_msgfree(p); }
    void operator()(BerElement* p) const { ber_free(p, 0); }
    void operator()(berval** p) const { ldap_value_free_len(p); }
    void operator()(char* p) const { ldap_memfree(p); }
};

// A directory returns at most this many entries for one URL; a CRL URL names one.
constexpr int Entry_limit = 16;

timeval timeval_of(std::chrono::milliseconds span)
{
    timeval value{};
    value.tv_sec = static_cast<time_t>(span.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>((span.count() % 1000) * 1000);
    return value;
}

std::string server_of(const LDAPURLDesc& url)
{
    std::string host = url.lud_host;
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]";
    std::string server = std::string(url.lud_scheme) + "://" + host;
    if (url.lud_port > 0)
        server += ":" + std::to_string(url.lud_port);
    return server;
}

} // namespace

void Ldap_crl_store::fail(int code, const std::string& text)
{
    set_error(text);
    set_result(code);
}

bool Ldap_crl_store::open(const std::string& url, const Ldap_time_limits& limits)
{
    _lists.clear();
    set_result(-1);

    LDAPURLDesc* parsed = nullptr;
    const int parse_code = ldap_url_parse(url.c_str(), &parsed);
    const Owner<LDAPURLDesc, Ldap_release> description(parsed);
    if (parse_code != LDAP_URL_SUCCESS) {
        fail(LDAP_PARAM_ERROR, "URL LDAP non valido: " + url);
        return false;
    }
    // Only a named server over TCP: a certificate must not steer the program to a local socket or
    // to whatever directory the machine is configured with.
    const bool known_scheme = description->lud_scheme && (::strcasecmp(description->lud_scheme, "ldap") == 0 ||
                                                          ::strcasecmp(description->lud_scheme, "ldaps") == 0);
    if (!known_scheme || !description->lud_host || description->lud_host[0] == '\0') {
        fail(LDAP_PARAM_ERROR, "URL LDAP non valido: " + url);
        return false;
    }

    LDAP* raw = nullptr;
    int code = ldap_initialize(&raw, server_of(*description).c_str());
    const Owner<LDAP, Ldap_release> connection(raw);
    if (code != LDAP_SUCCESS || !connection) {
        fail(code != LDAP_SUCCESS ? code : LDAP_LOCAL_ERROR, ldap_err2string(code));
        return false;
    }
    const int version = LDAP_VERSION3;
    const timeval connect_limit = timeval_of(limits.connect);
    const timeval search_limit = timeval_of(limits.search);
    ldap_set_option(connection.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(connection.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    ldap_set_option(connection.get(), LDAP_OPT_NETWORK_TIMEOUT, &connect_limit);
    ldap_set_option(connection.get(), LDAP_OPT_TIMEOUT, &search_limit);

    static char default_attribute[] = "certificateRevocationList;binary";
    char* default_attributes[] = {default_attribute, nullptr};
    char** attributes = description->lud_attrs ? description->lud_attrs : default_attributes;
    timeval search_timeout = search_limit;
    LDAPMessage* answer = nullptr;
    code = ldap_search_ext_s(connection.get(), description->lud_dn ? description->lud_dn : "", description->lud_scope,
                             description->lud_filter, attributes, 0, nullptr, nullptr, &search_timeout, Entry_limit,
                             &answer);
    const Owner<LDAPMessage, Ldap_release> result(answer);
    if (code != LDAP_SUCCESS) {
        fail(code, ldap_err2string(code));
        return false;
    }

    for (LDAPMessage* entry = ldap_first_entry(connection.get(), result.get()); entry;
         entry = ldap_next_entry(connection.get(), entry)) {
        BerElement* position_raw = nullptr;
        Owner<char, Ldap_release> attribute(ldap_first_attribute(connection.get(), entry, &position_raw));
        const Owner<BerElement, Ldap_release> position(position_raw);
        for (; attribute; attribute.reset(ldap_next_attribute(connection.get(), entry, position.get()))) {
            const Owner<berval*, Ldap_release> values(ldap_get_values_len(connection.get(), entry, attribute.get()));
            for (berval** value = values.get(); value && *value; ++value) {
                const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>((*value)->bv_val),
                                                     (*value)->bv_len);
                Certificate_revocation_list list(bytes);
                if (list.is_valid())
                    _lists.push_back(std::move(list));
            }
        }
    }
    set_result(LDAP_SUCCESS);
    return true;
}

} // namespace velin
