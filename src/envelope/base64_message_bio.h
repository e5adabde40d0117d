// The synthetic S/MIME message that lets OpenSSL's S/MIME reader decode bare base64 text: a
// fixed header naming a base64 PKCS#7 attachment, then the text, offered as a read-only source BIO
// without copying the text.
#pragma once

#include "common/owner.h"

#include <memory>
#include <string_view>

namespace velin {

class Base64_message_bio {
public:
    // The text must outlive this object.
    explicit Base64_message_bio(std::string_view base64_text);
    ~Base64_message_bio();
    Base64_message_bio(const Base64_message_bio&) = delete;
    Base64_message_bio& operator=(const Base64_message_bio&) = delete;

    // Null when OpenSSL could not make the BIO (the reason is on its error queue).
    BIO* get() const { return _bio.get(); }

    struct Source; // what the BIO's functions read from

private:
    std::unique_ptr<Source> _source; // read by the BIO, so let go after it
    Owner<BIO> _bio;
};

} // namespace velin
