#include "envelope/base64_decode.h"

#include "common/large_buffer.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VELIN_BASE64_AVX2 1
#endif

namespace velin {

namespace {

constexpr byte Invalid = 0xFF;
constexpr byte Ignored = 0xFE;
constexpr byte Padding = 0xFD;
constexpr byte Blank = 0xFC; // space and tab: ignored by the lenient form only

constexpr std::array<byte, 256> make_table()
{
    std::array<byte, 256> table{};
    table.fill(Invalid);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i)
        table[static_cast<byte>(alphabet[i])] = static_cast<byte>(i);
    table['\r'] = Ignored;
    table['\n'] = Ignored;
    table[' '] = Blank;
    table['\t'] = Blank;
    table['='] = Padding;
    return table;
}

constexpr std::array<byte, 256> Table = make_table();

constexpr const char* Invalid_text = "Il testo base64 non è valido.";

// Bytes the block decoder may write past the end of what it decodes.
constexpr std::size_t Block_slack = 32;

#ifdef VELIN_BASE64_AVX2
// Decodes whole blocks of 32 alphabet characters into 24 bytes each, from in[*i] on, while at
// least 32 characters are left; stops at the first block holding anything else (a line end,
// padding, damage), which the caller then reads one group at a time. Writes 32 bytes per block,
// the last 8 of them garbage that the next block or the caller overwrites.
__attribute__((target("avx2"))) void decode_blocks_avx2(const byte* in, std::size_t size, std::size_t* i, byte** write,
                                                        const byte* write_limit, bool skip_line_ends)
{
    // Validity by the two halves of each character: a character is in the alphabet exactly when
    // the bits its low half selects and those its high half selects have nothing in common.
    const __m256i low_bits = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                                              0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                              0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i high_bits = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                               0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                               0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    // What to add to a character, by its high half, to get its value ('/' shares a half with '+').
    const __m256i shift = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4, -65,
                                           -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i slash = _mm256_set1_epi8(0x2F);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i pack_pairs = _mm256_set1_epi32(0x01400140);
    const __m256i pack_quads = _mm256_set1_epi32(0x00011000);
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10,
                                           9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i gather = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);

    std::size_t at = *i;
    byte* out = *write;
    while (size - at >= 32 && out < write_limit) {
        const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + at));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi32(text, 4), nibble);
        const __m256i low = _mm256_and_si256(text, nibble);
        const __m256i checked =
            _mm256_and_si256(_mm256_shuffle_epi8(low_bits, low), _mm256_shuffle_epi8(high_bits, high));
        // Bytes of 0x80 and above: the high half is 8 to 15, whose bits meet every low half's.
        std::size_t valid = 32;
        if (!_mm256_testz_si256(checked, checked)) {
            const auto good =
                static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(checked, _mm256_setzero_si256())));
            valid = static_cast<std::size_t>(__builtin_ctz(~good));
            // Only whole groups, then a line end (CR LF or LF) when those may be stepped over here.
            if (valid % 4 != 0 || !skip_line_ends)
                break;
        }
        const __m256i is_slash = _mm256_cmpeq_epi8(text, slash);
        const __m256i values = _mm256_add_epi8(text, _mm256_shuffle_epi8(shift, _mm256_add_epi8(is_slash, high)));
        const __m256i pairs = _mm256_maddubs_epi16(values, pack_pairs);
        const __m256i quads = _mm256_madd_epi16(pairs, pack_quads);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(quads, order), gather);
        if (valid == 32) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
            out += 24;
            at += 32;
            continue;
        }
        const byte* line_end = in + at + valid;
        const std::size_t line_end_size =
            line_end[0] == '\n' ? 1 : (line_end[0] == '\r' && line_end[1] == '\n' ? 2 : 0);
        if (line_end_size == 0 || valid + line_end_size > 32)
            break;
        // The groups in front of the line end, and only their bytes: over the text itself, more
        // could land on characters after the line end that are still to be read.
        alignas(32) byte decoded[32];
        _mm256_store_si256(reinterpret_cast<__m256i*>(decoded), bytes);
        std::memcpy(out, decoded, valid / 4 * 3);
        out += valid / 4 * 3;
        at += valid + line_end_size;
    }
    *i = at;
    *write = out;
}

bool has_avx2()
{
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}
#endif

// Line ends always, spaces and tabs in the lenient form only: stepped over between characters.
inline bool skipped(byte v, bool plain)
{
    return v == Ignored || (v == Blank && !plain);
}

inline void put_group(byte*& write, std::uint32_t group)
{
    write[0] = static_cast<byte>(group >> 16);
    write[1] = static_cast<byte>(group >> 8);
    write[2] = static_cast<byte>(group);
    write += 3;
}

// Whole groups of four alphabet characters from in[i] on, until anything else or the write limit.
inline void decode_groups(const byte* in, std::size_t size, std::size_t& i, byte*& write, const byte* write_limit)
{
    while (i + 4 <= size && write < write_limit) {
        const byte a = Table[in[i]], b = Table[in[i + 1]], c = Table[in[i + 2]], d = Table[in[i + 3]];
        if ((a | b | c | d) & 0xC0)
            break;
        put_group(write, (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d);
        i += 4;
    }
}

// The line rules of the mail form, checked at each line end as the text is read.
class Mail_line_check {
public:
    Mail_line_check(const byte* in, std::size_t size) : _in(in), _size(size) {}

    // At every CR or LF; false when the line breaks the rules.
    bool line_end(std::size_t at)
    {
        if (_in[at] == '\r')
            return at + 1 < _size && _in[at + 1] == '\n';
        const std::size_t length = at - _line_start - (at > _line_start && _in[at - 1] == '\r' ? 1 : 0);
        _line_start = at + 1;
        if (length == 0) {
            _after_empty_line = true;
            return true;
        }
        return !_after_empty_line && length <= Base64_decode::Mail_line_limit;
    }
    // At the end of the text, for the last line when no line end closes it.
    bool last_line_fits() const
    {
        return _line_start >= _size || (!_after_empty_line && _size - _line_start <= Base64_decode::Mail_line_limit);
    }
    bool after_empty_line() const { return _after_empty_line; }

private:
    const byte* _in;
    std::size_t _size;
    std::size_t _line_start = 0;
    bool _after_empty_line = false;
};

// What follows the last group from in[i] on: padding and white space only (in the mail form, no
// padding after an empty line). The number of padding characters; nothing when anything else
// follows.
std::optional<int> tail_padding(const byte* in, std::size_t size, std::size_t i, bool plain, Mail_line_check* mail)
{
    int padding = 0;
    for (; i < size; ++i) {
        const byte v = Table[in[i]];
        if (skipped(v, plain)) {
            if (mail && v == Ignored && !mail->line_end(i))
                return std::nullopt;
            continue;
        }
        if (v != Padding || (mail && mail->after_empty_line()))
            return std::nullopt; // a bad character, or data after the padding
        ++padding;
    }
    return padding;
}

// A final group of two or three characters (count, their bits) carries one or two bytes, with or
// without its padding (the plain form wants it); a lone character, or padding that does not
// complete a group, is damage: false.
bool put_last_group(byte*& write, std::uint32_t bits, int count, int padding, bool plain)
{
    const bool complete = (count == 0 && padding == 0) || (count == 2 && (padding == 2 || (padding == 0 && !plain))) ||
                          (count == 3 && (padding == 1 || (padding == 0 && !plain)));
    if (!complete)
        return false;
    if (count == 2) {
        *write++ = static_cast<byte>(bits >> 4);
    } else if (count == 3) {
        *write++ = static_cast<byte>(bits >> 10);
        *write++ = static_cast<byte>(bits >> 2);
    }
    return true;
}

// Decodes in[0, size) through out and returns the number of bytes written. Without a sink, out must
// have room for size / 4 * 3 + 3 + Block_slack bytes, or lie at or before in in the same buffer:
// each byte is then written only where the text was already read, the block decoder's extra bytes
// included. With a sink, out has room for Slice + 3 + Block_slack bytes, and every Slice or so of
// decoded bytes is handed to the sink and written over; a sink that says false stops the decoding.
std::optional<std::size_t> decode_text(const byte* in, std::size_t size, Base64_decode::Form form, byte* const out,
                                       const Base64_decode::Sink* sink = nullptr)
{
    const byte* const write_limit = sink ? out + Base64_decode::Slice : reinterpret_cast<const byte*>(UINTPTR_MAX);
    std::size_t flushed = 0;
    using Form = Base64_decode::Form;
    byte* write = out;
    const bool mail = form == Form::Mail_lines;
    const bool plain = form == Form::Plain || mail;
    Mail_line_check lines(in, size);
    std::size_t i = 0;
    std::uint32_t bits = 0;
    int count = 0; // characters of the current group of four
#ifdef VELIN_BASE64_AVX2
    const bool blocks = has_avx2();
#endif

    while (i < size) {
        if (write >= write_limit) {
            if (!(*sink)(std::span<const byte>(out, static_cast<std::size_t>(write - out))))
                return std::nullopt;
            flushed += static_cast<std::size_t>(write - out);
            write = out;
        }
        // Fast paths: whole blocks, then whole groups of four alphabet characters.
        if (count == 0) {
#ifdef VELIN_BASE64_AVX2
            if (blocks)
                decode_blocks_avx2(in, size, &i, &write, write_limit, !mail);
#endif
            decode_groups(in, size, i, write, write_limit);
            if (i == size || write >= write_limit)
                continue;
        }
        // One character at a time across a line end, padding or damage.
        const byte v = Table[in[i]];
        if (skipped(v, plain)) {
            if (mail && v == Ignored && !lines.line_end(i))
                return std::nullopt;
            ++i;
            continue;
        }
        if (v == Invalid || v == Padding || v == Blank)
            break;
        bits = (bits << 6) | v;
        ++i;
        if (++count == 4) {
            put_group(write, bits);
            bits = 0;
            count = 0;
        }
    }

    const std::optional<int> padding = tail_padding(in, size, i, plain, mail ? &lines : nullptr);
    if (!padding || (mail && !lines.last_line_fits()) || !put_last_group(write, bits, count, *padding, plain))
        return std::nullopt;
    if (sink && write != out && !(*sink)(std::span<const byte>(out, static_cast<std::size_t>(write - out))))
        return std::nullopt;
    return flushed + static_cast<std::size_t>(write - out);
}

} // namespace

bool Base64_decode::refuse()
{
    std::vector<byte>().swap(raw_value());
    set_error(Invalid_text);
    return false;
}

bool Base64_decode::decode(std::string_view text, Form form)
{
    std::vector<byte>& out = raw_value();
    out.clear();
    // Written through a pointer, trimmed at the end: no capacity check per byte.
    const std::size_t room = text.size() / 4 * 3 + 3 + Block_slack;
    try {
        reserve_large_buffer(out, room);
        out.resize(room);
    } catch (const std::bad_alloc&) {
        return refuse();
    }
    const auto decoded = decode_text(reinterpret_cast<const byte*>(text.data()), text.size(), form, out.data());
    if (!decoded)
        return refuse();
    out.resize(*decoded);
    set_value(std::move(out));
    return true;
}

std::optional<std::size_t> Base64_decode::decode_slices(std::string_view text, Form form, const Sink& sink)
{
    // A text shorter than a slice never fills one: its window is the room its bytes need.
    std::vector<byte> window(std::min(Slice, text.size() / 4 * 3) + 3 + Block_slack);
    return decode_text(reinterpret_cast<const byte*>(text.data()), text.size(), form, window.data(), &sink);
}

std::optional<std::size_t> Base64_decode::decode_in_place(std::span<byte> buffer, std::size_t text_offset,
                                                          std::size_t text_size, Form form, std::size_t output_offset)
{
    assertion(text_offset <= buffer.size() && text_size <= buffer.size() - text_offset,
              "text_offset + text_size <= buffer.size ()");
    assertion(output_offset <= text_offset, "output_offset <= text_offset");
    return decode_text(buffer.data() + text_offset, text_size, form, buffer.data() + output_offset);
}

} // namespace velin
