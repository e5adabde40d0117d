// The validation report of ETSI TS 119 102-2 (namespace http://uri.etsi.org/19102/v1.4.1#) of one
// verified file: a SignatureValidationReport for each signature and each time stamp of every
// layer, with its main indication and sub-indication, the signer, the signing time and the time of
// the verification, and the certificates they refer to listed once, by their SHA-256, among the
// SignatureValidationObjects. Written with libxml2.
#pragma once

#include "VelinVerify/app/batch_report.h"
#include "VelinVerify/report/report_facts.h"

#include <string>

namespace velin {

inline constexpr const char* Etsi_report_namespace = "http://uri.etsi.org/19102/v1.4.1#";

// The report as UTF-8 XML. A file without any signature or time stamp gets one report that says
// its format could not be processed (total-failed, FORMAT_FAILURE): the schema wants at least one.
std::string etsi_validation_report(const Batch_report& report, const Report_facts& facts);

// Writes the report at path (report_file.h); empty, or why it could not be written.
std::string write_etsi_report(const std::string& path, const Batch_report& report, const Report_facts& facts);

// "urn:etsi:019102:mainindication:total-passed" and "urn:etsi:019102:subindication:HASH_FAILURE".
std::string main_indication_uri(Report_indication::Main main);
std::string sub_indication_uri(const std::string& sub);

} // namespace velin
