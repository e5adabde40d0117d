// Fetching one file over HTTP and saving it, waiting on the calling thread (the revocation lists,
// on a verification worker).
#pragma once

#include "common/failure.h"
#include "net/curl_transfer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace velin {

constexpr uint32_t E_ABORT_CODE = 0x80004004u;
constexpr uint32_t E_INVALIDARG_CODE = 0x80070057u;

// The status starts as E_FAIL and is 0 once the request went out; message() holds the error
// description of a failure (empty when there is none).
class File_download : public Procedure<uint32_t, 0, E_FAIL_CODE> {
public:
    File_download() = default;

    // Opens and sends a GET request. "Assertion failed: not is_empty (remote_path)".
    void start(const std::string& remote_path);
    // The request went out.
    bool started() const { return _started; }
    // The last save wrote the file.
    bool saved() const { return _saved; }

    // The answer (or the network error) is in. Lets the transfer progress, never blocks.
    bool completed();
    // Waits up to limit for network activity, then reports completed().
    bool wait(std::chrono::milliseconds limit);
    // The HTTP status, or the network error number. "Assertion failed: completed ()".
    long http_status();
    // Completed with status 200.
    bool exists();
    // Ends the request at once; the status becomes E_ABORT. "Assertion failed: started ()".
    void abort();
    // Writes the body to the file, created anew: written to a temporary name beside it and renamed,
    // so a failed write never leaves half a file. An empty body is not written.
    // "Assertion failed: exists ()", "Assertion failed: not is_empty (file_name)".
    void save(const std::string& file_name);

    void set_time_limits(const Http_time_limits& limits) { _limits = limits; }
    void set_body_limit(std::size_t bytes) { _body_limit = bytes; }

private:
    std::unique_ptr<Curl_transfer> _transfer; // one per request
    Http_time_limits _limits;
    std::size_t _body_limit = Default_body_limit;
    bool _saved = false;
    bool _started = false;
};

// The whole transfer of one revocation list into the cache file, on the calling thread, polling
// every 100 ms and giving up as soon as cancel is set. True when the file was written.
bool download_crl_file(const std::string& url, const std::string& path, const std::atomic<bool>& cancel);

} // namespace velin
