// xsd:dateTime as signed XML states its times (trusted lists, signing times of XML signatures).
#pragma once

#include <ctime>
#include <string>

namespace velin {

// "2026-01-31T10:00:00Z", with optional fractions and zone offset; a time without a zone is
// taken as UTC. False for anything else.
bool parse_xml_date_time(const std::string& text, std::time_t& result);

} // namespace velin
