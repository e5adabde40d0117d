// Trusted lists of the past made in memory, for the tests of the time a signature is judged at: a
// national list whose certification authority was granted (its signers qualified, on a device,
// when their keys are for non-repudiation) from 1 July 2016 and withdrawn on 1 June 2024, beside
// a qualified time-stamping service granted since 2016. For test programs that link the trust
// library and build revocation_pki.cpp.
#pragma once

#include "envelope/xml_date_time.h"
#include "revocation_pki.h"
#include "trust/trusted_list_store.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velin::test {

// The moment an xsd:dateTime text names.
inline std::time_t utc(const char* text)
{
    std::time_t time = 0;
    EXPECT_TRUE(parse_xml_date_time(text, time)) << text;
    return time;
}

inline std::shared_ptr<Trusted_store> withdrawn_authority_store(const Certificate& authority,
                                                                const Certificate& time_stamping)
{
    auto service = [](const char* name, const Certificate& certificate, const char* type, Service_period current,
                      std::vector<Service_period> history) {
        Trust_service made{"Prestatore di prova", name, {certificate}, std::move(current), std::move(history), {}};
        made.current.type = type;
        for (Service_period& period : made.history)
            period.type = type;
        return made;
    };
    const std::string qualifier = "http://uri.etsi.org/TrstSvc/TrustedList/SvcInfoExt/";
    const Qualification_element qualified_on_device{
        {qualifier + "QCStatement", qualifier + "QCWithQSCD"},
        {Qualification_criteria::Assertion::All, {{{"nonRepudiation", true}}}, {}, {}, {}, {}}};
    Trusted_list national;
    national.territory = "IT";
    national.services = {
        service("CA ritirata", authority, tsl_uri::Service_ca_qc,
                {"", tsl_uri::Status_withdrawn, utc("2024-06-01T00:00:00Z"), {tsl_uri::For_signatures}, {}},
                {{"",
                  tsl_uri::Status_granted,
                  utc("2016-07-01T00:00:00Z"),
                  {tsl_uri::For_signatures},
                  {qualified_on_device}}}),
        service("Marche temporali", time_stamping, tsl_uri::Service_tsa_qtst,
                {"", tsl_uri::Status_granted, utc("2016-07-01T00:00:00Z"), {}, {}}, {}),
    };
    Trusted_list european;
    european.territory = "EU";
    auto store = std::make_shared<Trusted_store>("");
    store->use_trusted_lists(
        std::make_shared<const Trusted_lists>(Kept_list{european, {}}, std::vector<Kept_list>{{national, {}}}));
    return store;
}

// The two authorities of that list, valid from 2015 to 2045, with their keys, and a store that
// trusts them through the list.
struct Withdrawn_authority_pki {
    Key ca_key = new_key(), tsa_key = new_key();
    Certificate ca = make_certificate({.serial = 1,
                                       .common_name = "CA ritirata nel 2024",
                                       .not_before = utc("2015-01-01T00:00:00Z"),
                                       .not_after = utc("2045-01-01T00:00:00Z"),
                                       .authority = true,
                                       .key_usage = "critical,keyCertSign,cRLSign"},
                                      ca_key, {}, {});
    Certificate tsa = make_certificate({.serial = 5,
                                        .common_name = "Marche qualificate",
                                        .not_before = utc("2015-01-01T00:00:00Z"),
                                        .not_after = utc("2045-01-01T00:00:00Z"),
                                        .key_usage = "critical,digitalSignature",
                                        .extended_key_usage = "critical,timeStamping"},
                                       tsa_key, {}, {});
    std::shared_ptr<Trusted_store> store = withdrawn_authority_store(ca, tsa);
};

} // namespace velin::test
