// One mail handed to a mail server over SMTP, on the calling thread, within time limits.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace velin {

struct Mail_submission {
    std::string server; // a host name or address
    uint32_t port = 25;
    // Refuse to send unless the server switches the connection to TLS (STARTTLS).
    bool require_tls = true;
    std::string sender; // the envelope's addresses, without angle brackets
    std::string recipient;
    std::string message; // headers and body as they go on the wire, CRLF line ends
    std::chrono::seconds connect_limit{20};
    std::chrono::seconds total_limit{120};
};

// Empty when the server took the mail; otherwise why not, for the trace.
std::string submit_mail(const Mail_submission& mail);

} // namespace velin
