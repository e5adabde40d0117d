// The standing of a delegated OCSP responder whose certificate does not carry
// id-pkix-ocsp-nocheck, on which its answers about other certificates rest. Its own status is
// looked for where the method allows, never in its own answers: in what the signed file carries,
// from the OCSP responder its certificate names (whose answer must need no such check itself, so
// the search ends there), and on its issuer's list (its own distribution point, or the one of the
// certificate asked about when it names none and the list covers every certificate).
#pragma once

#include "trust/certificate.h"
#include "trust/crl_cache.h"
#include "trust/ocsp.h"
#include "trust/revocation.h"

#include <atomic>
#include <ctime>

namespace velin {

// A revocation of a responder that still lets it vouch for a time: only one for a reason that does
// not touch its key (affiliation changed, superseded, cessation of operation) dated after that
// time. Every other reason, or none, bars it whatever the date: a key that may be in other hands
// can sign an answer with any date.
bool responder_revocation_spares(int reason, std::time_t revoked_at, std::time_t at);

// The check of the delegated responders answering about subject, whose issuer is issuer. It reads
// settings, cancel and memo, which must outlive it.
Responder_check responder_check_for(const Revocation_subject& subject, const Certificate& issuer,
                                    const Revocation_settings& settings, const std::atomic<bool>& cancel,
                                    Crl_file_memo& memo);

} // namespace velin
