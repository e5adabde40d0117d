// The update run keeps the trusted lists fresh: when the kept lists are past the time by which
// their publishers promised the next issue, they are fetched and verified again, exactly as
// `velin-verify --aggiorna-liste` does.
#pragma once

#include "trust/certificate.h"
#include "trust/trusted_list_refresh.h"

#include <ctime>
#include <string>
#include <vector>

namespace velin {

// The kept lists of the folder are due for a refresh: a kept European list that no longer loads,
// or a loaded list (European or national) whose next update is before now. A folder without
// lists is not due: the user never asked for lists, and they are not fetched unasked.
bool trusted_lists_due(const std::string& folder, const std::vector<Certificate>& eu_pins, std::time_t now);

// The refresh of the configured sources into the folder, run on a thread of its own while the
// calling thread's event loop goes on (the update run's windows stay responsive).
Refresh_outcome refresh_trusted_lists_waiting(const List_sources& sources, const std::string& folder,
                                              const std::vector<Certificate>& eu_pins);

} // namespace velin
