// The CRL cache: one file per distribution point URL, named after the URL so that a list is found
// again without an index. Each user downloads into a cache of their own that nobody else can
// write; the installation's "cache" folder beside the trusted lists is only read, as a seed, and
// only for files that the administrator or the user wrote: a folder that every user can write
// would let one user plant the lists that decide another's verdicts.
#pragma once

#include "trust/certificate_revocation_list.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velin {

// Larger files are never read: real lists are far smaller, and a planted huge (or sparse) file
// must not cost every verification its reading time and memory.
constexpr std::size_t Crl_file_limit = 64u * 1024u * 1024u;

// The user's own cache, $XDG_CACHE_HOME/velin-manager/crl (else ~/.cache/velin-manager/crl),
// created 0700 on the way; empty when it cannot be had or is not a folder of the user's own.
std::string crl_cache_folder();

// Another folder of the user's own cache beside the lists' (OCSP answers, authorities'
// certificates), made and checked the same way; empty when it cannot be had.
std::string own_cache_folder(const std::string& name);

// <data folder>/cache, the installation's read-only seed; empty without a data folder.
std::string crl_seed_folder();

// The URL as a file name (without the ".crl" that is added): ASCII letters, digits and "." stay;
// every other byte becomes "_" and its value in lower-case hexadecimal, at least two characters
// wide with a blank as filler, the byte read as a signed char (0x0a gives "_ a", 0x3a "_3a",
// 0x80 "_ffffff80"). No "/" survives, so the name never leaves the cache folder.
std::string escape_cache_name(const std::string& url);

// <seed folder>/<escaped url>.crl; empty without a seed folder.
std::string seed_file_name(const std::string& url);

enum class Crl_file_origin {
    Own_cache, // only files of the user's own
    Seed, // files of the user's own or of root
};

// The bytes of a cached list file, or nothing when the path is a link or not a regular file, the
// file belongs to someone it may not come from, is larger than Crl_file_limit, or cannot be read.
std::optional<std::vector<uint8_t>> read_cached_crl_file(const std::string& path, Crl_file_origin origin);
// The same under the rules of origin with another size limit.
std::optional<std::vector<uint8_t>> read_cached_file(const std::string& path, Crl_file_origin origin,
                                                     std::size_t limit);

// The cached lists of one verification: each file is read and decoded at most once, however many
// signers name it. An invalid list stands for a file that is missing, refused or no list.
class Crl_file_memo {
public:
    const Certificate_revocation_list& list(const std::string& path, Crl_file_origin origin);
    // The file was written anew (a download): read it again next time.
    void forget(const std::string& path) { _lists.erase(path); }

private:
    std::map<std::string, Certificate_revocation_list> _lists;
};

// A download of a list is done by one thread at a time per URL: the analyses running at once (the
// layers of a nested file, the files of a batch) that find the same list missing or stale would
// otherwise all fetch it, and each would write the same cache file. The first one downloads; the
// others wait for it to end and then read what it saved, its download counting as theirs (a list
// is downloaded at most once per check, and a server that fails is not asked again at once by
// every waiting analysis).
class Crl_download_turn {
public:
    explicit Crl_download_turn(const std::string& url);
    ~Crl_download_turn();
    Crl_download_turn(const Crl_download_turn&) = delete;
    Crl_download_turn& operator=(const Crl_download_turn&) = delete;

    // This thread downloads; false when it waited for another thread's download of the URL.
    bool downloads() const { return _owner; }

private:
    std::string _url;
    bool _owner = false;
};

} // namespace velin
