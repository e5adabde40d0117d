// Refreshing the kept trusted lists: the European list and the national list are fetched over
// HTTP (or read from local files), verified (the European list against the pinned signers, or
// through its pivot lists, fetched the same way: european_list.h; the national list against the
// certificates the European list gives for its territory) and, only when both are sound and
// neither is older than the one kept, written with the pivots walked and their parsed cache into
// the user's folder. Runs on the calling thread; the program's next start uses the new lists.
#pragma once

#include "trust/certificate.h"

#include <atomic>
#include <ctime>
#include <string>
#include <vector>

namespace velin {

// Machine settings (HKEY_LOCAL_MACHINE, the suite's settings key) naming where the lists come
// from, and their defaults.
inline constexpr const char* European_list_setting = "ListaFiduciaEuropea";
inline constexpr const char* National_list_setting = "ListaFiduciaNazionale";
inline constexpr const char* Default_european_list = "https://ec.europa.eu/tools/lotl/eu-lotl.xml";
inline constexpr const char* Default_national_list = "https://eidas.agid.gov.it/TL/TSL-IT.xml";

struct List_sources {
    std::string european; // an http or https address, or a local file
    std::string national;
    std::string territory = "IT";
};

// The sources the machine settings give (a missing or empty value: the default).
List_sources configured_list_sources();

struct Refresh_line {
    enum Kind { Information, Warning, Error };
    Kind kind = Information;
    std::string text;
};

struct Refresh_outcome {
    bool succeeded = false;
    std::vector<Refresh_line> lines; // what to tell the user, in order
};

// cancel ends a transfer under way; the kept lists are then left as they were.
Refresh_outcome refresh_trusted_lists(const List_sources& sources, const std::string& folder,
                                      const std::vector<Certificate>& eu_pins, const std::atomic<bool>& cancel);

} // namespace velin
