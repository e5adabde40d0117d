// The parsers of card replies: the first byte picks one (FCI size, the three Netlink directory
// files, the DER cut and issuer of the certificate file); the rest is the card's bytes. Every
// input must end in a result or one of the library's own failures.
#include "cardlib/card_exceptions.h"
#include "cardlib/card_file_reader.h"
#include "cardlib/card_identification.h"
#include "cardlib/netlink_parser.h"

#include <cstdint>
#include <cstdlib>

using namespace velin::cardlib;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const Bytes bytes(data + 1, data + size);
    try {
        switch (data[0] % 5) {
        case 0:
            if (!bytes.empty())
                (void)fci_file_size(bytes);
            break;
        case 1:
            (void)NetLinkParser::netlink_file_id(bytes);
            break;
        case 2:
            (void)NetLinkParser::directory(bytes);
            break;
        case 3:
            (void)NetLinkParser::pointers(bytes);
            break;
        default: {
            Bytes certificate = bytes;
            const size_t length = der_object_length(certificate);
            if (length > certificate.size())
                std::abort();
            certificate.resize(length);
            (void)certificate_issuer(certificate);
            break;
        }
        }
    } catch (const CBaseException&) {
    }
    return 0;
}
