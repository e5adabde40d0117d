// The check of a downloaded package against the update authority: only a detached signature over
// exactly these bytes, by a publisher the authority itself issued, lets a package stay.
#include "VelinVerify/update/package_signature.h"

#include "test_folder.h"
#include "update_packages.h"

#include <gtest/gtest.h>

#include <span>
#include <string>

namespace velin {
namespace {

using test::sign_package;

const std::string package = "!<arch>\ndebian-binary   1700000000  0     0     100644  4         `\n2.0\n";

std::span<const uint8_t> bytes(const std::string& text)
{
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Package_signature check(const std::string& signed_bytes, const std::string& signature)
{
    return Package_signature(bytes(signed_bytes), bytes(signature), update_authority_pem);
}

TEST(Package_signature, AcceptsAPackageSignedByAPublisherOfTheAuthority)
{
    const Package_signature verified = check(package, sign_package(package, "update-publisher"));
    EXPECT_TRUE(verified.verified()) << verified.description();
    EXPECT_TRUE(verified.description().empty());
    // The authority carried in the signature changes nothing; an empty package can be signed too.
    EXPECT_TRUE(check(package, sign_package(package, "update-publisher", {"update-authority"})).verified());
    EXPECT_TRUE(check("", sign_package("", "update-publisher")).verified());
}

TEST(Package_signature, RefusesBytesTheSignatureIsNotFor)
{
    const std::string signature = sign_package(package, "update-publisher");
    std::string altered = package;
    altered[10] ^= 1;
    for (const std::string& other : {altered, package + "\n", package.substr(0, package.size() - 1), std::string()}) {
        const Package_signature refused = check(other, signature);
        EXPECT_EQ(refused.result(), Package_signature::Mismatch);
        EXPECT_EQ(refused.description(),
                  "la firma non corrisponde al pacchetto o non risale all'autorità degli aggiornamenti.");
    }
}

TEST(Package_signature, RefusesSignersTheAuthorityDidNotIssueItself)
{
    // The real authority's certificate carried first in a signature someone else made proves
    // nothing.
    EXPECT_EQ(check(package, sign_package(package, "update-impostor-publisher", {"update-authority"})).result(),
              Package_signature::Mismatch);
    // Same names as the real authority and publisher, other keys.
    EXPECT_EQ(
        check(package, sign_package(package, "update-impostor-publisher", {"update-impostor-authority"})).result(),
        Package_signature::Mismatch);
    // Expired at the time of the check.
    EXPECT_EQ(check(package, sign_package(package, "update-publisher-expired")).result(), Package_signature::Mismatch);
    // A sound chain up to the authority, through a sub-authority it certified: not issued by it.
    const Package_signature sub =
        check(package, sign_package(package, "update-sub-publisher", {"update-sub-authority"}));
    EXPECT_EQ(sub.result(), Package_signature::Not_from_authority);
    EXPECT_EQ(sub.description(), "il certificato del firmatario non è stato emesso dall'autorità degli aggiornamenti.");
    // The authority signing for itself is no publisher.
    EXPECT_FALSE(check(package, sign_package(package, "update-authority")).verified());
    // Without the authority built in, nothing passes.
    EXPECT_EQ(Package_signature(bytes(package), bytes(sign_package(package, "update-publisher")), "").result(),
              Package_signature::Bad_authority);
    // Trusting the root above the authority: the chain holds, but the root did not issue the
    // publisher itself.
    EXPECT_EQ(Package_signature(bytes(package), bytes(sign_package(package, "update-publisher", {"update-authority"})),
                                test::read_file(test::update_fixtures() / "update-root.cert.pem"))
                  .result(),
              Package_signature::Not_from_authority);
}

TEST(Package_signature, RefusesWhatIsNoDetachedSignatureWithOneSigner)
{
    const std::string good = sign_package(package, "update-publisher");
    // The package inside its own signature is not what the server publishes.
    const Package_signature attached = check(package, sign_package(package, "update-publisher", {}, 0));
    EXPECT_EQ(attached.result(), Package_signature::Unreadable);
    EXPECT_EQ(attached.description(), "la firma non è separata dal pacchetto.");
    for (const std::string& broken :
         {std::string(), good.substr(0, good.size() / 2), good.substr(0, 1), good + "x", std::string(1 << 20, '\x30'),
          std::string(100000, 'A'), package, std::string("-----BEGIN CMS-----\n\n-----END CMS-----\n")}) {
        const Package_signature refused = check(package, broken);
        EXPECT_EQ(refused.result(), Package_signature::Unreadable) << broken.size();
        EXPECT_EQ(refused.description(), "la firma non è leggibile.");
    }
    // Every cut of a sound signature is refused, never accepted.
    for (size_t length = 0; length < good.size(); length += 7)
        EXPECT_FALSE(check(package, good.substr(0, length)).verified()) << length;
}

} // namespace
} // namespace velin
