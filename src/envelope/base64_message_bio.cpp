#include "envelope/base64_message_bio.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace velin {

namespace {

// The synthetic message the base64 attempt hands to the S/MIME reader.
constexpr std::string_view base64_message_header =
    "Content-Type: application/pkcs7-mime; smime-type=enveloped-data; name=content.p7m\n"
    "Content-Transfer-Encoding: base64\n"
    "Content-Disposition: attachment; filename=content.p7m\n"
    "\n";

} // namespace

// A read-only source BIO over the synthetic message: its header, then the base64 text, read
// without copying the text. Lines of the text longer than the base64 reader's line buffer are
// broken every 64 characters on the way (a line break never changes what base64 decodes to): the
// reader fails on longer lines, and envelopes are often saved as one unbroken line.
struct Base64_message_bio::Source {
    static constexpr size_t line_length = 64;

    std::string_view header;
    std::string_view body;
    size_t header_offset = 0;
    size_t body_offset = 0;
    size_t column = 0;

    bool at_end() const { return header_offset == header.size() && body_offset == body.size(); }
    size_t remaining() const { return header.size() - header_offset + body.size() - body_offset; }

    size_t produce(char* out, size_t size)
    {
        size_t done = 0;
        if (header_offset < header.size()) {
            const size_t count = std::min(size, header.size() - header_offset);
            std::memcpy(out, header.data() + header_offset, count);
            header_offset += count;
            done += count;
        }
        while (done < size && body_offset < body.size()) {
            if (column == line_length) {
                out[done++] = '\n';
                column = 0;
                continue;
            }
            size_t count = std::min({size - done, line_length - column, body.size() - body_offset});
            const char* from = body.data() + body_offset;
            if (const void* line_end = std::memchr(from, '\n', count)) {
                count = static_cast<size_t>(static_cast<const char*>(line_end) - from) + 1;
                column = 0;
            } else {
                column += count;
            }
            std::memcpy(out + done, from, count);
            body_offset += count;
            done += count;
        }
        return done;
    }
};

namespace {

int message_read(BIO* bio, char* out, size_t size, size_t* read)
{
    auto* source = static_cast<Base64_message_bio::Source*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    *read = source->produce(out, size);
    return *read > 0 ? 1 : 0;
}

int message_gets(BIO* bio, char* out, int size)
{
    if (size <= 0)
        return 0;
    auto* source = static_cast<Base64_message_bio::Source*>(BIO_get_data(bio));
    int done = 0;
    while (done < size - 1 && source->produce(out + done, 1) == 1)
        if (out[done++] == '\n')
            break;
    out[done] = '\0';
    return done;
}

long message_ctrl(BIO* bio, int command, long, void*)
{
    auto* source = static_cast<Base64_message_bio::Source*>(BIO_get_data(bio));
    switch (command) {
    case BIO_CTRL_EOF:
        return source->at_end() ? 1 : 0;
    case BIO_CTRL_PENDING:
        return static_cast<long>(std::min<size_t>(source->remaining(), LONG_MAX));
    case BIO_CTRL_FLUSH:
        return 1;
    default:
        return 0;
    }
}

const BIO_METHOD* base64_message_method()
{
    static const Owner<BIO_METHOD> method = [] {
        Owner<BIO_METHOD> m(BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "velin base64 message"));
        if (m && (BIO_meth_set_read_ex(m.get(), message_read) != 1 || BIO_meth_set_gets(m.get(), message_gets) != 1 ||
                  BIO_meth_set_ctrl(m.get(), message_ctrl) != 1))
            m.reset();
        return m;
    }();
    return method.get();
}

} // namespace

Base64_message_bio::Base64_message_bio(std::string_view base64_text)
    : _source(std::make_unique<Source>(Source{base64_message_header, base64_text}))
{
    const BIO_METHOD* method = base64_message_method();
    _bio.reset(method ? BIO_new(method) : nullptr);
    if (_bio) {
        BIO_set_data(_bio.get(), _source.get());
        BIO_set_init(_bio.get(), 1);
    }
}

Base64_message_bio::~Base64_message_bio() = default;

} // namespace velin
