#include "envelope/asic_container.h"

#include "common/large_buffer.h"
#include "common/owner.h"
#include "envelope/content_kind.h"

#include <openssl/evp.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

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
// began: once a file's first byte is read, that is where the file lies in the archive. The bytes
// are copied from file when there is one (a mapped file's through its descriptor, so that libzip's
// reading faults in no page of the mapping).
struct Watched_bytes {
    std::span<const uint8_t> bytes;
    const Document_bytes* file = nullptr;
    zip_uint64_t position = 0;
    zip_uint64_t last_read = 0;
    zip_error_t error{};

    // The bytes at offset copied into into; false past the end or when file cannot give them.
    bool copy(size_t offset, std::span<uint8_t> into) const
    {
        if (file)
            return file->copy(offset, into);
        if (offset > bytes.size() || into.size() > bytes.size() - offset)
            return false;
        std::copy_n(bytes.begin() + static_cast<ptrdiff_t>(offset), into.size(), into.begin());
        return true;
    }
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
        if (!source.copy(static_cast<size_t>(source.position),
                         std::span(static_cast<uint8_t*>(data), static_cast<size_t>(count)))) {
            zip_error_set(&source.error, ZIP_ER_READ, 0);
            return -1;
        }
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

// The archive read from watch's bytes (watch must outlive it); null when libzip finds it damaged.
// With consistent, the local headers are checked against the central directory (and a name given
// twice is refused): what other programs read from them is what we read.
Archive open_archive(Watched_bytes& watch, bool consistent = true)
{
    // The smallest archive is its end record.
    if (watch.bytes.size() < 22)
        return nullptr;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_function_create(watched_source, &watch, &error);
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
        Watched_bytes watch{file.view(), &file};
        const Archive archive = open_archive(watch, false);
        const char* found = archive ? zip_get_name(archive.get(), index, 0) : nullptr;
        return found && name == found && inflate_slices(archive.get(), index, size, sink);
    };
}

// Where a stored file's bytes lie in the archive: found where libzip starts reading them (its
// local header checked against the central directory) and proved by comparing what it reads there.
// Nullopt when that fails: the file is then read through libzip as any other.
std::optional<size_t> stored_offset(zip_t* archive, zip_uint64_t index, zip_uint64_t size, const Watched_bytes& watch)
{
    Entry_file file(zip_fopen_index(archive, index, 0));
    if (!file || size == 0)
        return std::nullopt;
    std::array<uint8_t, 512> probe{};
    std::array<uint8_t, 512> there{};
    const zip_int64_t read = zip_fread(file.get(), probe.data(), std::min<zip_uint64_t>(size, probe.size()));
    const size_t offset = static_cast<size_t>(watch.last_read);
    if (read <= 0 || offset > watch.bytes.size() || size > watch.bytes.size() - offset ||
        !watch.copy(offset, std::span(there).first(static_cast<size_t>(read))) || probe != there)
        return std::nullopt;
    return offset;
}

// Why a consistent reading failed: an archive that opens without the checks and names a file twice.
bool repeats_a_name(std::span<const uint8_t> bytes)
{
    Watched_bytes watch{bytes};
    const Archive archive = open_archive(watch, false);
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

// How a file is read: where it lies (stored ones), inflated into memory, or inflated again at
// each reading (deflated ones past the limit of what is held).
enum class Reading { in_place, held, again };

struct Entry_facts {
    std::string name;
    zip_uint64_t size = 0;
    uint32_t crc = 0;
    bool stored = false;
    Reading reading = Reading::held;
    size_t offset = 0; // of the bytes in the archive, when read in place
    size_t held_at = 0; // of the bytes among the files held, when held
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
    constexpr zip_uint64_t needed = ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD |
                                    ZIP_STAT_ENCRYPTION_METHOD | ZIP_STAT_CRC;
    if (zip_stat_index(archive, index, 0, &stat) != 0 || (stat.valid & needed) != needed || !stat.name) {
        problem = Asic_text_damaged;
        return std::nullopt;
    }
    Entry_facts facts{stat.name, stat.size, stat.crc, stat.comp_method == ZIP_CM_STORE};
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

// "mimetype" and the folders are not among the container's files.
bool read_apart(const Entry_facts& entry)
{
    return entry.name == "mimetype" || entry.name.ends_with("/");
}

// How each file is to be read, in archive order (what is held depends on the files before it): a
// stored one where it lies; a deflated one larger than a slice, once held (the inflated files held
// so far) would pass the limit, inflated again at each reading; the others inflated into memory,
// one after the other in one buffer. Returns the size of that buffer.
size_t plan_readings(zip_t* archive, const Watched_bytes& watch, bool in_place, const Asic_limits& limits,
                     std::vector<Entry_facts>& files)
{
    uint64_t held = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        Entry_facts& entry = files[i];
        if (read_apart(entry))
            continue;
        if (entry.stored && in_place) {
            if (const auto offset = stored_offset(archive, i, entry.size, watch)) {
                entry.reading = Reading::in_place;
                entry.offset = *offset;
                continue;
            }
        }
        if (!entry.stored && entry.size > Read_slice && held + entry.size > limits.held_size) {
            entry.reading = Reading::again;
            continue;
        }
        entry.held_at = static_cast<size_t>(held);
        held += entry.size;
    }
    return static_cast<size_t>(held);
}

// A stored file read where it lies, its check code made and compared on the way.
std::optional<Asic_entry> read_in_place(const Entry_facts& entry, const Document_bytes& file)
{
    Document_bytes bytes = file.range(entry.offset, static_cast<size_t>(entry.size));
    Sha256_on_the_way digest;
    uLong crc = crc32_z(0, nullptr, 0);
    if (!bytes.read_slices([&crc, &digest](std::span<const uint8_t> slice) {
            crc = crc32_z(crc, slice.data(), slice.size());
            digest.take(slice);
            return true;
        }) ||
        crc != entry.crc)
        return std::nullopt;
    return Asic_entry{entry.name, std::move(bytes), digest.finish()};
}

// The file at index read through archive (the container's, opened by the calling thread) as
// planned, a held one into its place in held (its bytes are then left for the caller to set);
// nullopt for a damaged file.
std::optional<Asic_entry> read_file(zip_t* archive, zip_uint64_t index, const Entry_facts& entry,
                                    const Document_bytes& file, std::span<uint8_t> held)
{
    if (entry.reading == Reading::in_place)
        return read_in_place(entry, file);
    const char* found = zip_get_name(archive, index, 0);
    if (!found || entry.name != found)
        return std::nullopt;
    const auto size = static_cast<size_t>(entry.size);
    Sha256_on_the_way digest;
    if (entry.reading == Reading::again) {
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
            return std::nullopt;
        return Asic_entry{entry.name, Document_bytes::made(file, inflater(file, index, entry.name, entry.size), size),
                          digest.finish(), document_type_by_content(head)};
    }
    const std::span<uint8_t> into = held.subspan(entry.held_at, size);
    size_t filled = 0;
    if (!inflate_slices(archive, index, entry.size, [&digest, into, &filled](std::span<const uint8_t> slice) {
            digest.take(slice);
            std::copy(slice.begin(), slice.end(), into.begin() + static_cast<ptrdiff_t>(filled));
            filled += slice.size();
            return true;
        }))
        return std::nullopt;
    return Asic_entry{entry.name, {}, digest.finish()};
}

// Below this many bytes to read, the files are read on the calling thread alone.
constexpr uint64_t Spread_from = 8ull * 1024 * 1024;

// Every file but the folders and "mimetype" read as planned into read (by index), on the calling
// thread and, when there is much to read, on the other processors too: each thread takes the next
// file not yet taken, through an archive of its own (libzip's are not shared between threads).
// False when a file is damaged; what a thread throws (no memory left) is thrown again here.
bool read_files(const Document_bytes& file, const std::vector<Entry_facts>& files, std::span<uint8_t> held,
                std::vector<std::optional<Asic_entry>>& read)
{
    std::atomic<size_t> next = 0;
    std::atomic<bool> stop = false;
    bool damaged = false;
    std::exception_ptr failure;
    std::mutex mutex;
    const auto lane = [&] {
        Watched_bytes watch{file.view(), &file};
        Archive archive;
        try {
            for (size_t i = next++; i < files.size() && !stop; i = next++) {
                const Entry_facts& entry = files[i];
                if (read_apart(entry))
                    continue;
                if (entry.reading != Reading::in_place && !archive)
                    archive = open_archive(watch, false);
                if (entry.reading == Reading::in_place || archive)
                    read[i] = read_file(archive.get(), i, entry, file, held);
                if (!read[i]) {
                    const std::lock_guard lock(mutex);
                    damaged = stop = true;
                }
            }
        } catch (...) {
            const std::lock_guard lock(mutex);
            if (!failure)
                failure = std::current_exception();
            stop = true;
        }
    };
    uint64_t total = 0;
    for (const Entry_facts& entry : files)
        total += entry.size;
    std::vector<std::thread> others;
    const unsigned processors = std::min(std::thread::hardware_concurrency(), 4u);
    try {
        for (unsigned n = 1; total >= Spread_from && n < processors; ++n)
            others.emplace_back(lane);
    } catch (const std::system_error&) {
        // No thread to spare: the calling thread reads what is left.
    }
    lane();
    for (std::thread& thread : others)
        thread.join();
    if (failure)
        std::rethrow_exception(failure);
    return !damaged;
}

// The "mimetype" file at index read into container, with a warning where it is not the first file
// or is compressed; false when it is damaged.
bool read_mimetype(zip_t* archive, zip_uint64_t index, const Entry_facts& entry, Asic_container& container)
{
    std::vector<uint8_t> text;
    if (!inflate_slices(archive, index, entry.size, [&text](std::span<const uint8_t> slice) {
            text.insert(text.end(), slice.begin(), slice.end());
            return true;
        }))
        return false;
    container.mimetype.assign(text.begin(), text.end());
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
    Watched_bytes watch{bytes};
    const Archive archive = open_archive(watch);
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
    Watched_bytes watch{bytes, &file};
    const Archive archive = open_archive(watch);
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
    for (const Entry_facts& entry : facts)
        if (entry.name.ends_with("/") && entry.size != 0) {
            problem = Asic_text_damaged;
            return std::nullopt;
        }
    // The files held, in one room of huge pages where the system grants them: a page fault for
    // every few kilobytes of it would cost more than inflating them.
    const size_t held_size = plan_readings(archive.get(), watch, !file.is_encoded(), limits, facts);
    const std::shared_ptr<uint8_t[]> held = large_room(held_size);
    std::vector<std::optional<Asic_entry>> read(facts.size());
    if (!read_files(file, facts, std::span(held.get(), held_size), read)) {
        problem = Asic_text_damaged;
        return std::nullopt;
    }
    const Document_bytes held_bytes(held, std::span(held.get(), held_size));
    Asic_container container;
    for (size_t i = 0; i < facts.size(); ++i) {
        if (read[i]) {
            if (facts[i].reading == Reading::held)
                read[i]->bytes = held_bytes.range(facts[i].held_at, static_cast<size_t>(facts[i].size));
            container.entries.push_back(std::move(*read[i]));
        } else if (facts[i].name == "mimetype" && !read_mimetype(archive.get(), i, facts[i], container)) {
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
