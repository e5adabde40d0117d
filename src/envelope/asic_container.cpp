#include "envelope/asic_container.h"

#include "common/owner.h"
#include "envelope/content_kind.h"

#include <openssl/evp.h>
#include <zip.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <set>

namespace velin {

namespace {

constexpr std::string_view Zip_local_header = "PK\x03\x04";
constexpr std::string_view Asic_mimetype_prefix = "application/vnd.etsi.asic-";
// The files of META-INF that make an archive a container, by the start of their names.
constexpr std::array<std::string_view, 4> Container_markers = {"signature", "ASiCManifest", "ASiCArchiveManifest",
                                                               "timestamp"};

struct Archive_release {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct Entry_release {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using Archive = std::unique_ptr<zip_t, Archive_release>;
using Entry_file = std::unique_ptr<zip_file_t, Entry_release>;

// The archive's bytes as libzip reads them through watched_source, remembering where its last read
// began: once a stored file's first byte is read, that is where the file lies in the archive.
struct Watched_bytes {
    std::span<const uint8_t> bytes;
    zip_uint64_t position = 0;
    zip_uint64_t last_read = 0;
    zip_error_t error{};
};

zip_int64_t watched_source(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command)
{
    Watched_bytes& source = *static_cast<Watched_bytes*>(state);
    switch (command) {
    case ZIP_SOURCE_OPEN:
        source.position = 0;
        return 0;
    case ZIP_SOURCE_READ: {
        const zip_uint64_t count = std::min<zip_uint64_t>(length, source.bytes.size() - source.position);
        std::copy_n(source.bytes.data() + source.position, count, static_cast<uint8_t*>(data));
        source.last_read = source.position;
        source.position += count;
        return static_cast<zip_int64_t>(count);
    }
    case ZIP_SOURCE_SEEK: {
        const zip_int64_t at =
            zip_source_seek_compute_offset(source.position, source.bytes.size(), data, length, &source.error);
        if (at < 0)
            return -1;
        source.position = static_cast<zip_uint64_t>(at);
        return 0;
    }
    case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(source.position);
    case ZIP_SOURCE_STAT: {
        if (length < sizeof(zip_stat_t))
            return -1;
        zip_stat_t* stat = static_cast<zip_stat_t*>(data);
        zip_stat_init(stat);
        stat->size = stat->comp_size = source.bytes.size();
        stat->comp_method = ZIP_CM_STORE;
        stat->encryption_method = ZIP_EM_NONE;
        stat->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&source.error, data, length);
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                                              ZIP_SOURCE_SUPPORTS, -1);
    default:
        zip_error_set(&source.error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

// The archive read in place from the bytes (which must outlive it); null when libzip finds it
// damaged. With consistent, the local headers are checked against the central directory (and a
// name given twice is refused): what other programs read from them is what we read. With watch,
// the bytes are read through it (it must outlive the archive too).
Archive open_archive(std::span<const uint8_t> bytes, bool consistent = true, Watched_bytes* watch = nullptr)
{
    // The smallest archive is its end record.
    if (bytes.size() < 22)
        return nullptr;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = nullptr;
    if (watch) {
        watch->bytes = bytes;
        source = zip_source_function_create(watched_source, watch, &error);
    } else {
        source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    }
    if (!source) {
        zip_error_fini(&error);
        return nullptr;
    }
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY | (consistent ? ZIP_CHECKCONS : 0), &error);
    if (!archive)
        zip_source_free(source);
    zip_error_fini(&error);
    return Archive(archive);
}

bool is_marker_name(std::string_view name)
{
    if (!name.starts_with("META-INF/"))
        return false;
    name.remove_prefix(9);
    return std::any_of(Container_markers.begin(), Container_markers.end(),
                       [name](std::string_view marker) { return name.starts_with(marker); });
}

uint16_t little_16(std::span<const uint8_t> bytes, size_t at)
{
    return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

// The first local header is a stored "mimetype" whose text names an ASiC type.
bool starts_with_asic_mimetype(std::span<const uint8_t> bytes)
{
    constexpr std::string_view name = "mimetype";
    if (bytes.size() < 30 + name.size())
        return false;
    const size_t name_length = little_16(bytes, 26);
    const size_t extra_length = little_16(bytes, 28);
    const size_t content = 30 + name_length + extra_length;
    if (little_16(bytes, 8) != 0 || name_length != name.size() ||
        std::string_view(reinterpret_cast<const char*>(bytes.data()) + 30, name.size()) != name ||
        content + Asic_mimetype_prefix.size() > bytes.size())
        return false;
    return std::string_view(reinterpret_cast<const char*>(bytes.data()) + content, Asic_mimetype_prefix.size()) ==
           Asic_mimetype_prefix;
}

// A damaged archive: its names are looked for in its bytes.
bool mentions_marker(std::span<const uint8_t> bytes)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    for (size_t at = text.find("META-INF/"); at != std::string_view::npos; at = text.find("META-INF/", at + 1))
        if (is_marker_name(text.substr(at, 40)))
            return true;
    return false;
}

// A name that stays inside the container wherever it is unpacked.
bool acceptable_name(std::string_view name)
{
    if (name.empty() || name.front() == '/' || name.size() > 1024 || (name.size() > 1 && name[1] == ':'))
        return false;
    if (std::any_of(name.begin(), name.end(), [](char c) { return c == '\\' || static_cast<unsigned char>(c) < 0x20; }))
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos)
            end = name.size();
        const std::string_view part = name.substr(start, end - start);
        // An empty part is allowed only as the end of a folder's name.
        if (part == ".." || part == "." || (part.empty() && end != name.size()))
            return false;
        start = end + 1;
    }
    return true;
}

// The SHA-256 of a file made on the way while it is read, so that the manifests' digests need no
// second pass over it.
class Sha256_on_the_way {
public:
    Sha256_on_the_way() : _context(EVP_MD_CTX_new())
    {
        _hashing = _context && EVP_DigestInit_ex(_context.get(), EVP_sha256(), nullptr) == 1;
    }
    void take(std::span<const uint8_t> slice)
    {
        _hashing = _hashing && EVP_DigestUpdate(_context.get(), slice.data(), slice.size()) == 1;
    }
    // The digest by OpenSSL digest type; empty when it could not be made.
    std::map<int, std::vector<uint8_t>> finish()
    {
        std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
        unsigned int size = 0;
        if (!_hashing || EVP_DigestFinal_ex(_context.get(), digest.data(), &size) != 1)
            return {};
        digest.resize(size);
        return {{NID_sha256, std::move(digest)}};
    }

private:
    Owner<EVP_MD_CTX> _context;
    bool _hashing = false;
};

constexpr size_t Read_slice = 64 * 1024;

// The file at index inflated a slice at a time for sink, exactly its declared size: more bytes,
// fewer, or a check code that does not match (a damaged archive) is false, as is a sink that stops.
bool inflate_slices(zip_t* archive, zip_uint64_t index, zip_uint64_t size, const Document_bytes::Sink& sink)
{
    Entry_file file(zip_fopen_index(archive, index, 0));
    if (!file)
        return false;
    std::vector<uint8_t> slice(Read_slice);
    zip_uint64_t filled = 0;
    while (true) {
        const zip_int64_t read = zip_fread(file.get(), slice.data(), slice.size());
        if (read < 0 || static_cast<zip_uint64_t>(read) > size - filled)
            return false;
        if (read == 0)
            return filled == size;
        filled += static_cast<zip_uint64_t>(read);
        if (!sink(std::span(slice).first(static_cast<size_t>(read))))
            return false;
    }
}

// What makes the file at index of the archive in file (its name checked) again at each reading:
// its bytes inflated from the archive, never held whole.
Document_bytes::Maker inflater(Document_bytes file, zip_uint64_t index, std::string name, zip_uint64_t size)
{
    return [file = std::move(file), index, name = std::move(name), size](const Document_bytes::Sink& sink) {
        const Archive archive = open_archive(file.view(), false);
        const char* found = archive ? zip_get_name(archive.get(), index, 0) : nullptr;
        return found && name == found && inflate_slices(archive.get(), index, size, sink);
    };
}

// Where a stored file's bytes lie in the archive: found where libzip reads them, and proved by
// reading the whole file through libzip (which checks its check code) and comparing each slice
// with the bytes there, each hashed on the way. Nullopt when that fails: the file is then
// inflated as any other, and a damaged one refused as such.
std::optional<size_t> stored_offset(zip_t* archive, zip_uint64_t index, zip_uint64_t size, Watched_bytes& watch,
                                    Sha256_on_the_way& digest)
{
    Entry_file file(zip_fopen_index(archive, index, 0));
    if (!file || size == 0)
        return std::nullopt;
    std::vector<uint8_t> slice(Read_slice);
    std::optional<size_t> offset;
    size_t filled = 0;
    while (true) {
        const zip_int64_t read = zip_fread(file.get(), slice.data(), slice.size());
        if (read < 0)
            return std::nullopt;
        if (read == 0)
            break;
        if (!offset)
            offset = static_cast<size_t>(watch.last_read);
        const auto count = static_cast<size_t>(read);
        if (*offset > watch.bytes.size() || filled + count > size || size > watch.bytes.size() - *offset ||
            !std::equal(slice.begin(), slice.begin() + static_cast<ptrdiff_t>(count),
                        watch.bytes.begin() + static_cast<ptrdiff_t>(*offset + filled)))
            return std::nullopt;
        digest.take(std::span(slice).first(count));
        filled += count;
    }
    if (filled != size)
        return std::nullopt;
    return offset;
}

// Why a consistent reading failed: an archive that opens without the checks and names a file twice.
bool repeats_a_name(std::span<const uint8_t> bytes)
{
    const Archive archive = open_archive(bytes, false);
    if (!archive)
        return false;
    std::set<std::string_view> names;
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* name = zip_get_name(archive.get(), static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        if (name && !names.insert(name).second)
            return true;
    }
    return false;
}

struct Entry_facts {
    std::string name;
    zip_uint64_t size = 0;
    bool stored = false;
};

// Deflate makes at most 1032 bytes of 2 bits (a length of 258 and its distance in one bit each).
constexpr zip_uint64_t Deflate_most_ratio = 1032;

// A declared size its compressed bytes cannot make: refused before room is made for it.
bool impossible_size(const zip_stat_t& stat)
{
    if (stat.comp_method == ZIP_CM_STORE)
        return stat.size != stat.comp_size;
    return stat.size / Deflate_most_ratio > stat.comp_size + 64;
}

// The facts of one file, or the refusal's text.
std::optional<Entry_facts> entry_facts(zip_t* archive, zip_uint64_t index, const Asic_limits& limits,
                                       std::string& problem)
{
    zip_stat_t stat;
    zip_stat_init(&stat);
    constexpr zip_uint64_t needed =
        ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
    if (zip_stat_index(archive, index, 0, &stat) != 0 || (stat.valid & needed) != needed || !stat.name) {
        problem = Asic_text_damaged;
        return std::nullopt;
    }
    Entry_facts facts{stat.name, stat.size, stat.comp_method == ZIP_CM_STORE};
    if (!acceptable_name(facts.name))
        problem = Asic_text_bad_name;
    else if (stat.encryption_method != ZIP_EM_NONE)
        problem = Asic_text_encrypted;
    else if (stat.comp_method != ZIP_CM_STORE && stat.comp_method != ZIP_CM_DEFLATE)
        problem = Asic_text_method;
    else if (stat.size > limits.entry_size)
        problem = Asic_text_too_large;
    else if (impossible_size(stat))
        problem = Asic_text_damaged;
    if (!problem.empty())
        return std::nullopt;
    return facts;
}

// Reads the file at index into container: a stored one of bytes in one piece where it lies; a
// deflated one larger than a slice, once held (the inflated files held so far) would pass the limit,
// inflated again at each reading; the others inflated into memory. Each is hashed on the way.
// False for a damaged file.
bool read_file(zip_t* archive, zip_uint64_t index, const Entry_facts& entry, const Document_bytes& file,
               Watched_bytes& watch, uint64_t& held, const Asic_limits& limits, Asic_container& container)
{
    const auto size = static_cast<size_t>(entry.size);
    if (entry.stored && entry.name != "mimetype" && !file.is_encoded()) {
        Sha256_on_the_way digest;
        if (const auto offset = stored_offset(archive, index, entry.size, watch, digest)) {
            container.entries.push_back({entry.name, file.range(*offset, size), digest.finish()});
            return true;
        }
    }
    Sha256_on_the_way digest;
    if (!entry.stored && entry.name != "mimetype" && size > Read_slice && held + size > limits.held_size) {
        // Its head, for what the file is, is kept only while it is read.
        const size_t head_size = std::min(size, Content_head_size);
        std::vector<uint8_t> head;
        head.reserve(head_size);
        if (!inflate_slices(archive, index, entry.size, [&digest, &head, head_size](std::span<const uint8_t> slice) {
                digest.take(slice);
                const size_t taken = std::min(slice.size(), head_size - head.size());
                head.insert(head.end(), slice.begin(), slice.begin() + static_cast<ptrdiff_t>(taken));
                return true;
            }))
            return false;
        container.entries.push_back({entry.name,
                                     Document_bytes::made(file, inflater(file, index, entry.name, entry.size), size),
                                     digest.finish(), document_type_by_content(head)});
        return true;
    }
    held += size;
    std::vector<uint8_t> bytes;
    bytes.reserve(size);
    if (!inflate_slices(archive, index, entry.size, [&digest, &bytes](std::span<const uint8_t> slice) {
            digest.take(slice);
            bytes.insert(bytes.end(), slice.begin(), slice.end());
            return true;
        }))
        return false;
    if (entry.name != "mimetype") {
        container.entries.push_back({entry.name, Document_bytes(std::move(bytes)), digest.finish()});
        return true;
    }
    container.mimetype.assign(bytes.begin(), bytes.end());
    if (index != 0 || !entry.stored)
        container.warnings.push_back(Asic_text_mimetype_placement);
    return true;
}

} // namespace

const Asic_entry* Asic_container::find(std::string_view name) const
{
    const auto found =
        std::find_if(entries.begin(), entries.end(), [name](const Asic_entry& entry) { return entry.name == name; });
    return found == entries.end() ? nullptr : &*found;
}

std::vector<const Asic_entry*> Asic_container::data_objects() const
{
    std::vector<const Asic_entry*> objects;
    for (const Asic_entry& entry : entries)
        if (!entry.name.starts_with("META-INF/"))
            objects.push_back(&entry);
    return objects;
}

std::vector<const Asic_entry*> Asic_container::meta_files(std::string_view prefix, std::string_view suffix) const
{
    std::vector<const Asic_entry*> files;
    for (const Asic_entry& entry : entries) {
        if (!entry.name.starts_with("META-INF/"))
            continue;
        const std::string_view name = std::string_view(entry.name).substr(9);
        if (name.find('/') == std::string_view::npos && name.size() >= prefix.size() + suffix.size() &&
            name.starts_with(prefix) && name.ends_with(suffix))
            files.push_back(&entry);
    }
    return files;
}

bool looks_like_asic_container(std::span<const uint8_t> bytes)
{
    if (bytes.size() < 30 ||
        std::string_view(reinterpret_cast<const char*>(bytes.data()), Zip_local_header.size()) != Zip_local_header)
        return false;
    if (starts_with_asic_mimetype(bytes))
        return true;
    const Archive archive = open_archive(bytes);
    if (!archive)
        return mentions_marker(bytes);
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* name = zip_get_name(archive.get(), static_cast<zip_uint64_t>(i), 0);
        if (name && is_marker_name(name))
            return true;
    }
    return false;
}

std::optional<Asic_container> read_asic_container(const Document_bytes& file, std::string& problem,
                                                  const Asic_limits& limits)
{
    problem.clear();
    const std::span<const uint8_t> bytes = file.view();
    Watched_bytes watch;
    const Archive archive = open_archive(bytes, true, &watch);
    if (!archive) {
        problem = repeats_a_name(bytes) ? Asic_text_duplicate : Asic_text_damaged;
        return std::nullopt;
    }
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    if (count < 0 || static_cast<uint64_t>(count) > limits.entries) {
        problem = count < 0 ? Asic_text_damaged : Asic_text_too_many;
        return std::nullopt;
    }
    // Every file is judged before any is inflated: a refusal costs no inflating.
    std::vector<Entry_facts> facts;
    std::set<std::string> names;
    uint64_t total = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        auto entry = entry_facts(archive.get(), static_cast<zip_uint64_t>(i), limits, problem);
        if (!entry)
            return std::nullopt;
        if (!names.insert(entry->name).second) {
            problem = Asic_text_duplicate;
            return std::nullopt;
        }
        total += entry->size;
        if (total > limits.total_size) {
            problem = Asic_text_too_large;
            return std::nullopt;
        }
        facts.push_back(std::move(*entry));
    }
    Asic_container container;
    uint64_t held = 0;
    for (size_t i = 0; i < facts.size(); ++i) {
        const Entry_facts& entry = facts[i];
        if (entry.name.ends_with("/")) {
            if (entry.size != 0) {
                problem = Asic_text_damaged;
                return std::nullopt;
            }
            continue;
        }
        if (!read_file(archive.get(), i, entry, file, watch, held, limits, container)) {
            problem = Asic_text_damaged;
            return std::nullopt;
        }
    }
    return container;
}

std::optional<Asic_container> read_asic_container(std::span<const uint8_t> bytes, std::string& problem,
                                                  const Asic_limits& limits)
{
    return read_asic_container(Document_bytes(std::vector<uint8_t>(bytes.begin(), bytes.end())), problem, limits);
}

std::optional<Asic_container> read_asic_container(const std::vector<uint8_t>& bytes, std::string& problem,
                                                  const Asic_limits& limits)
{
    return read_asic_container(std::span<const uint8_t>(bytes), problem, limits);
}

std::optional<std::string> asic_entry_name_of_uri(std::string_view uri)
{
    if (uri.starts_with("./"))
        uri.remove_prefix(2);
    std::string name;
    for (size_t i = 0; i < uri.size(); ++i) {
        const char c = uri[i];
        if (c == '#' || c == '?')
            return std::nullopt;
        if (c != '%') {
            name += c;
            continue;
        }
        const auto hex = [](char h) {
            return h >= '0' && h <= '9'   ? h - '0'
                   : h >= 'a' && h <= 'f' ? h - 'a' + 10
                   : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                          : -1;
        };
        if (i + 2 >= uri.size() || hex(uri[i + 1]) < 0 || hex(uri[i + 2]) < 0)
            return std::nullopt;
        name += static_cast<char>(hex(uri[i + 1]) * 16 + hex(uri[i + 2]));
        i += 2;
    }
    // A scheme ("http:", "file:") names something outside the container.
    const size_t colon = name.find(':');
    if (colon != std::string::npos && colon < name.find('/'))
        return std::nullopt;
    if (!acceptable_name(name) || name.ends_with("/"))
        return std::nullopt;
    return name;
}

} // namespace velin
