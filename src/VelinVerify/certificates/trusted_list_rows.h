// What the certificate dialog shows of the trusted lists in use: one line per list (number, issue
// and next-update time, a warning when it is past) and one row per service.
#pragma once

#include "trust/certificate.h"
#include "trust/trusted_list_store.h"

#include <ctime>
#include <string>
#include <vector>

namespace velin {

struct Trusted_list_row {
    std::string provider;
    std::string service;
    std::string type; // "CA/QC", "TSA/QTST"...
    std::string status; // in Italian: "Concesso", "Ritirato"...
    std::string since; // the status's starting time
    Certificate certificate; // the service's first certificate; empty when it has none
};

// "Concesso" for granted, "Accreditato", "Ritirato", otherwise the last part of the URI.
std::string service_status_text(const std::string& status_uri);

// The summary above the rows; "Nessuna lista di fiducia ..." without lists.
std::vector<std::string> trusted_list_summary(const Trusted_lists* lists, std::time_t now);
std::vector<Trusted_list_row> trusted_list_rows(const Trusted_lists& lists);

} // namespace velin
