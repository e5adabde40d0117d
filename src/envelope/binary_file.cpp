#include "envelope/binary_file.h"

#include "common/file_io.h"
#include "common/large_buffer.h"
#include "common/mapped_file.h"
#include "common/trace.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace velin {

namespace {

file_read_error_t read_error_from_errno(int error)
{
    switch (error) {
    case ENOENT:
        return File_not_found;
    case EACCES:
        return File_access_denied;
    default:
        return File_read_failed;
    }
}

constexpr uint64_t largest_file = 0xFFFFFFFFull;

constexpr size_t Bounce_size = 1024 * 1024;

std::atomic<uint64_t> read_up_to{1024 * 1024};
constexpr uintptr_t Page_size = 4096;

} // namespace

bool Binary_file_read::read(const std::string& file_name)
{
    return read(file_name, Prefix_choice{});
}

bool Binary_file_read::read_exactly(int descriptor, uint8_t* out, size_t count)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t read = ::read(descriptor, out + done, count - done);
        if (read < 0 && errno == EINTR)
            continue;
        if (read <= 0) {
            // A file that shrank since its size was taken ends early with no error number.
            const int error = read < 0 ? errno : 0;
            set_error("Errore durante la lettura del file.");
            set_result(read_error_from_errno(error));
            return false;
        }
        done += static_cast<size_t>(read);
    }
    return true;
}

Opened_file Binary_file_read::open_whole(const std::string& file_name)
{
    assertion(!file_name.empty(), "not is_empty (file_name)");
    set_result(File_read_failed);
    _prefix.clear();
    _bytes = {};

    // Non-blocking so that a FIFO chosen by mistake is not waited on: it reads as an empty file.
    Opened_file opened = open_for_reading(file_name);
    if (!opened.descriptor) {
        set_error("Impossibile aprire il file specificato.");
        set_result(read_error_from_errno(opened.error));
        return opened;
    }
    // The size of the file that was opened, not of whatever the path names a moment later.
    const struct stat& attributes = opened.status;
    const uint64_t size = attributes.st_size < 0 ? 0 : static_cast<uint64_t>(attributes.st_size);
    if (opened.error != 0) {
        set_error("Impossibile determinare la dimensione del file.");
        set_result(File_size_unknown);
    } else if (size > largest_file) {
        set_error("Il file è troppo grande.");
        set_result(File_too_large);
    } else if (size == 0) {
        set_error("Il file è vuoto.");
        set_result(File_empty);
    } else {
        return opened;
    }
    opened.descriptor.reset();
    return opened;
}

void Binary_file_read::set_mapping_threshold(uint64_t bytes)
{
    read_up_to = bytes;
}

uint64_t Binary_file_read::mapping_threshold()
{
    return read_up_to;
}

bool Binary_file_read::read_mapped(const std::string& file_name)
{
    Opened_file opened = open_whole(file_name);
    if (!opened.descriptor)
        return false;
    const auto size = static_cast<uint64_t>(opened.status.st_size);
    if (S_ISREG(opened.status.st_mode) && size <= read_up_to) {
        std::vector<uint8_t> bytes(static_cast<size_t>(size));
        if (!read_exactly(opened.descriptor.get(), bytes.data(), bytes.size()))
            return false;
        _bytes = Document_bytes(std::move(bytes));
        set_value({});
        return true;
    }
    if (auto mapped = Mapped_file::map(opened.descriptor, opened.status)) {
        _bytes = Document_bytes(std::move(mapped));
        set_value({});
        return true;
    }
    // A special file, or no room to map: read like any other.
    if (!read(file_name))
        return false;
    _bytes = Document_bytes(take_value());
    return true;
}

bool Binary_file_read::read(const std::string& file_name, const Prefix_choice& choose_prefix)
{
    Opened_file opened = open_whole(file_name);
    if (!opened.descriptor)
        return false;
    const Descriptor_handle& file = opened.descriptor;
    const uint64_t size = static_cast<uint64_t>(opened.status.st_size);
    const auto whole = static_cast<size_t>(size);

    // The head first, when a prefix is to be chosen from it.
    std::vector<uint8_t> head;
    size_t prefix_size = 0;
    if (choose_prefix) {
        head.resize(std::min(whole, Head_size));
        if (!read_exactly(file.get(), head.data(), head.size()))
            return false;
        prefix_size = std::min(choose_prefix(head, size), head.size());
    }

    const size_t target = whole - prefix_size;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> bounce;
    try {
        reserve_large_buffer(bytes, target);
        bytes.assign(head.begin() + static_cast<ptrdiff_t>(prefix_size), head.end());
        if (bytes.size() < target)
            bounce.resize(Bounce_size + Page_size);
    } catch (const std::bad_alloc&) {
        set_error("Il file è troppo grande.");
        set_result(File_too_large);
        return false;
    }
    // The rest goes through a small buffer that stays in the processor's cache, placed so that
    // neither copy writes a little ahead of where it reads modulo the page size: the copy loops
    // of some processors run at a third of their speed then, and a large buffer from the heap
    // starts just that far into its page. Appending also spares the buffer's zero filling.
    if (!bounce.empty()) {
        const uintptr_t destination = reinterpret_cast<uintptr_t>(bytes.data() + bytes.size());
        const uintptr_t source_offset = static_cast<uintptr_t>(head.size()) % Page_size; // of the file
        const uintptr_t base = reinterpret_cast<uintptr_t>(bounce.data());
        uint8_t* chunk = bounce.data();
        for (const uintptr_t gap : {uintptr_t{2048}, uintptr_t{1024}, uintptr_t{3072}}) {
            // The chunk sits `gap` past the file offset and the destination sits past the chunk.
            const uintptr_t wanted = (source_offset + gap) % Page_size;
            chunk = bounce.data() + (wanted + Page_size - base % Page_size) % Page_size;
            const uintptr_t after = (destination - reinterpret_cast<uintptr_t>(chunk)) % Page_size;
            if (after >= 64 && after <= Page_size - 64)
                break;
        }
        while (bytes.size() < target) {
            const size_t count = std::min(Bounce_size, target - bytes.size());
            if (!read_exactly(file.get(), chunk, count))
                return false;
            bytes.insert(bytes.end(), chunk, chunk + count);
        }
    }
    head.resize(prefix_size);
    _prefix = std::move(head);
    set_value(std::move(bytes));
    return true;
}

bool Binary_file_write::write(std::span<const uint8_t> bytes, const std::string& file_name, Access access)
{
    Trace(Trace_kind, Level_info) << "Scrittura su disco del file binario.";
    Trace(Trace_kind, Level_info) << file_name;
    set_result(E_FAIL_CODE);

    auto fail_with_errno = [this](int error) {
        const uint32_t code = error ? error_code_from_errno(error) : E_FAIL_CODE;
        std::string text = system_error_text(code);
        if (text.empty())
            text = system_error_text(E_FAIL_CODE);
        set_error(text);
        set_result(code);
    };

    // Never executable. A private copy is opened without following a link, so a link planted in
    // its place cannot redirect the write; an existing copy keeps whatever mode it had.
    const bool private_copy = access == Private_copy;
    Descriptor_handle file(::open(file_name.c_str(),
                                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (private_copy ? O_NOFOLLOW : 0),
                                  private_copy ? 0600 : 0666));
    if (!file) {
        fail_with_errno(errno);
        Trace(Trace_kind, Level_error) << "Scrittura su disco fallita.";
        return false;
    }
    Trace(Trace_kind, Level_info) << "File aperto per la scrittura.";

    if (!bytes.empty()) {
        Trace(Trace_kind, Level_info) << "Scrittura del file.";
        if (!write_all(file.get(), bytes)) {
            fail_with_errno(errno);
            return false;
        }
    }
    // A full disk on a network file system shows only when the file is closed.
    if (::close(file.release()) != 0) {
        fail_with_errno(errno);
        return false;
    }
    set_result(0);
    if (!bytes.empty())
        Trace(Trace_kind, Level_info) << "Scrittura riuscita.";
    return true;
}

} // namespace velin
