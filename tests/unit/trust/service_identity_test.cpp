// Services known by more than their current certificate: certificates listed only in a service's
// history, and keys named by subject name and key identifier, as real lists write history
// instances. A certificate is matched by its own key, never by a name or an identifier it states.
#include "common/owner.h"
#include "trust/trusted_list_reader.h"
#include "trust/trusted_list_store.h"

#include "pki.h"
#include "test_folder.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include <array>
#include <filesystem>

namespace velin {
namespace {

using test::at;
using test::list_certificate;

std::vector<uint8_t> stated_key_identifier(const Certificate& certificate)
{
    const ASN1_OCTET_STRING* identifier = X509_get0_subject_key_id(certificate.raw_handle());
    return identifier ? std::vector<uint8_t>(ASN1_STRING_get0_data(identifier),
                                             ASN1_STRING_get0_data(identifier) + ASN1_STRING_length(identifier))
                      : std::vector<uint8_t>{};
}

// A certificate of model's subject that states model's key identifier over a key of its own.
Certificate impostor_of(const Certificate& model)
{
    const Owner<EVP_PKEY> key(EVP_EC_gen("P-256"));
    const Owner<X509> made(X509_new());
    X509_set_version(made.get(), 2);
    X509_set_subject_name(made.get(), model.subject_name());
    X509_set_issuer_name(made.get(), model.subject_name());
    X509_gmtime_adj(X509_getm_notBefore(made.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(made.get()), 86400);
    X509_set_pubkey(made.get(), key.get());
    const Owner<ASN1_STRING> identifier(ASN1_OCTET_STRING_new());
    const std::vector<uint8_t> stated = stated_key_identifier(model);
    ASN1_OCTET_STRING_set(identifier.get(), stated.data(), static_cast<int>(stated.size()));
    X509_add1_ext_i2d(made.get(), NID_subject_key_identifier, identifier.get(), 0, 0);
    X509_sign(made.get(), key.get(), EVP_sha256());
    return Certificate(X509_dup(made.get()), true);
}

TEST(Service_identity, a_real_lists_history_names_keys_that_match_only_the_certificate_holding_them)
{
    const std::optional<Trusted_list> list =
        parse_trusted_list_unverified(test::read_bytes(test::list_fixture("fi-v6-sample.xml")));
    ASSERT_TRUE(list) << "the sample list of tests/fixtures/tsl is missing or unreadable";
    const auto service = std::find_if(list->services.begin(), list->services.end(), [](const Trust_service& s) {
        return s.name == "VRK Gov. CA for Citizen Qualified Certificates";
    });
    ASSERT_NE(service, list->services.end());
    const std::string name = "CN=VRK Gov. CA for Citizen Qualified Certificates, OU=Valtion kansalaisvarmenteet, "
                             "O=Vaestorekisterikeskus CA, ST=Finland, C=FI";
    const std::vector<uint8_t> key{0x88, 0x5a, 0x6f, 0x1d, 0x42, 0x47, 0x82, 0x86, 0xfd, 0xd7,
                                   0xe9, 0x0d, 0xb2, 0x57, 0xcf, 0x4d, 0x50, 0x28, 0x04, 0x17};
    // Both history instances name one key: it is kept once.
    ASSERT_EQ(service->identities, (std::vector<Service_identity>{{name, key}}));
    const Certificate current = service->certificates.at(0);

    const struct {
        Service_identity identity;
        Certificate certificate;
        bool names;
    } cases[] = {
        {{name, key}, current, true},
        {{"", key}, current, true},
        {{name, {}}, current, false}, // a name alone names no key
        {{name, std::vector<uint8_t>(key.begin(), key.end() - 1)}, current, false},
        {{"CN=VRK Gov. CA for Citizen Qualified Certificates, C=FI", key}, current, false},
        // Same name, same stated identifier, another key.
        {{name, key}, impostor_of(current), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(identity_names(c.identity, c.certificate), c.names) << c.identity.subject_name;

    const struct {
        const char* name;
        bool matches;
    } spellings[] = {
        {"C=FI, ST=Finland, O=Vaestorekisterikeskus CA, OU=Valtion kansalaisvarmenteet, "
         "CN=VRK Gov. CA for Citizen Qualified Certificates",
         true},
        {"cn=vrk gov.  ca for citizen qualified certificates;OU=\"Valtion kansalaisvarmenteet\";"
         "O=Vaestorekisterikeskus\\20CA;OID.2.5.4.8=Finland;C=#13024649",
         true},
        {"CN=VRK Gov. CA for Citizen Qualified Certificates, OU=Valtion kansalaisvarmenteet, "
         "O=Vaestorekisterikeskus CA, ST=Finland, C=FI, L=Helsinki",
         false},
        {"CN=VRK Gov. CA for Citizen Qualified Certificates\\, OU=Valtion kansalaisvarmenteet, "
         "O=Vaestorekisterikeskus CA, ST=Finland, C=FI",
         false},
        {"", false},
        {"CN", false},
        {"CN=x\\", false},
        {"XX=1", false},
        {"C=#13", false},
    };
    for (const auto& s : spellings)
        EXPECT_EQ(subject_name_matches(s.name, current), s.matches) << s.name;
}

// One service whose current certificate is new and whose history lists the old one; one known
// by name and key identifier only.
std::string list_xml(const Certificate& old_ca, const Certificate& new_ca, const Certificate& keyed)
{
    auto b64 = [](const std::vector<uint8_t>& bytes) {
        std::string text(4 * ((bytes.size() + 2) / 3), '\0');
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(), static_cast<int>(bytes.size()));
        return text;
    };
    auto certificate = [&](const Certificate& c) {
        return "<DigitalId><X509Certificate>" + b64(c.der()) + "</X509Certificate></DigitalId>";
    };
    const std::string keyed_identity = "<DigitalId><X509SubjectName>CN=ca-withdrawn,O=Prova,C=IT</X509SubjectName>"
                                       "</DigitalId><DigitalId><X509SKI>" +
                                       b64(stated_key_identifier(keyed)) + "</X509SKI></DigitalId>";
    auto service = [](const std::string& name, const std::string& identity, const char* status, const char* start,
                      const std::string& history) {
        return "<TSPService><ServiceInformation><ServiceTypeIdentifier>http://uri.etsi.org/TrstSvc/Svctype/CA/QC"
               "</ServiceTypeIdentifier><ServiceName><Name xml:lang=\"it\">" +
               name + "</Name></ServiceName><ServiceDigitalIdentity>" + identity +
               "</ServiceDigitalIdentity><ServiceStatus>" + status + "</ServiceStatus><StatusStartingTime>" + start +
               "</StatusStartingTime></ServiceInformation><ServiceHistory>" + history +
               "</ServiceHistory></TSPService>";
    };
    auto past = [](const std::string& identity, const char* status, const char* start) {
        return "<ServiceHistoryInstance><ServiceTypeIdentifier>http://uri.etsi.org/TrstSvc/Svctype/CA/QC"
               "</ServiceTypeIdentifier><ServiceName><Name xml:lang=\"it\">x</Name></ServiceName>"
               "<ServiceDigitalIdentity>" +
               identity + "</ServiceDigitalIdentity><ServiceStatus>" + status + "</ServiceStatus><StatusStartingTime>" +
               start + "</StatusStartingTime></ServiceHistoryInstance>";
    };
    const std::string granted = tsl_uri::Status_granted, withdrawn = tsl_uri::Status_withdrawn;
    return "<TrustServiceStatusList xmlns=\"http://uri.etsi.org/02231/v2#\"><SchemeInformation>"
           "<TSLVersionIdentifier>5</TSLVersionIdentifier><TSLSequenceNumber>7</TSLSequenceNumber>"
           "<SchemeTerritory>IT</SchemeTerritory>"
           "<ListIssueDateTime>2025-01-01T00:00:00Z</ListIssueDateTime></SchemeInformation>"
           "<TrustServiceProviderList><TrustServiceProvider><TSPInformation><TSPName><Name xml:lang=\"it\">P</Name>"
           "</TSPName></TSPInformation><TSPServices>" +
           service("CA rinnovata", certificate(new_ca), granted.c_str(), "2016-07-01T00:00:00Z",
                   past(certificate(old_ca), tsl_uri::Status_accredited, "2010-01-01T00:00:00Z")) +
           service("CA per chiave", keyed_identity, withdrawn.c_str(), "2024-06-01T00:00:00Z",
                   past(keyed_identity, granted.c_str(), "2016-07-01T00:00:00Z")) +
           "</TSPServices></TrustServiceProvider></TrustServiceProviderList></TrustServiceStatusList>";
}

TEST(Trusted_lists, match_certificates_of_the_history_and_keys_named_without_certificate)
{
    const Certificate old_ca = list_certificate("ca-granted"), new_ca = list_certificate("ca-seals"),
                      keyed = list_certificate("ca-withdrawn");
    const std::string xml = list_xml(old_ca, new_ca, keyed);
    const std::optional<Trusted_list> list =
        parse_trusted_list_unverified({reinterpret_cast<const uint8_t*>(xml.data()), xml.size()});
    ASSERT_TRUE(list);
    ASSERT_EQ(list->services.size(), 2u);
    EXPECT_EQ(list->services[0].certificates, (std::vector<Certificate>{new_ca, old_ca}));
    const Kept_list european{{}, ""};
    const Kept_list national{*list, "00"};
    const Trusted_lists lists(european, {national});

    auto service_at = [&lists](const Certificate& certificate, const char* when) {
        const Trust_service* service = lists.accredited_authority(certificate, at(when));
        return service ? service->name : std::string("-");
    };
    // The old certificate, listed only in the history, is an issuer, an anchor and judged by the
    // service's statuses; the key named without certificate, from its name and key.
    EXPECT_EQ(lists.issuer_candidates(list_certificate("signer-granted")), std::vector<Certificate>{old_ca});
    EXPECT_TRUE(lists.is_anchor(old_ca));
    EXPECT_EQ(service_at(old_ca, "2012-01-01T00:00:00Z"), "CA rinnovata");
    EXPECT_EQ(service_at(keyed, "2020-01-01T00:00:00Z"), "CA per chiave");
    EXPECT_EQ(service_at(keyed, "2025-01-01T00:00:00Z"), "-");
    EXPECT_TRUE(lists.is_anchor(keyed));
    EXPECT_EQ(service_at(impostor_of(keyed), "2020-01-01T00:00:00Z"), "-");
    EXPECT_FALSE(lists.is_anchor(impostor_of(keyed)));

    // The identities live through the cache; a cache of the format before them is not read.
    std::vector<uint8_t> cache = write_trusted_list_cache(european, {national});
    const std::optional<Cached_lists> read = read_trusted_list_cache(cache);
    ASSERT_TRUE(read);
    ASSERT_EQ(read->national.size(), 1u);
    EXPECT_EQ(read->national[0].list.services[1].identities, list->services[1].identities);
    cache.resize(cache.size() - SHA256_DIGEST_LENGTH);
    cache[7] = '1';
    std::array<uint8_t, SHA256_DIGEST_LENGTH> sum{};
    SHA256(cache.data(), cache.size(), sum.data());
    cache.insert(cache.end(), sum.begin(), sum.end());
    EXPECT_FALSE(read_trusted_list_cache(cache));
}

} // namespace
} // namespace velin
