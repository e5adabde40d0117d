#include "net/mail_submission.h"

#include "common/owner.h"
#include "net/curl_transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>

namespace velin {

namespace {

struct Curl_list_release {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct Upload {
    const std::string* message = nullptr;
    std::size_t at = 0;
};

std::size_t read_upload(char* buffer, std::size_t size, std::size_t count, void* user)
{
    auto* upload = static_cast<Upload*>(user);
    const std::size_t taken = std::min(size * count, upload->message->size() - upload->at);
    std::memcpy(buffer, upload->message->data() + upload->at, taken);
    upload->at += taken;
    return taken;
}

} // namespace

std::string submit_mail(const Mail_submission& mail)
{
    const Owner<CURL, Curl_easy_release> curl(curl_easy_init());
    if (!curl)
        return curl_easy_strerror(CURLE_FAILED_INIT);
    const std::string url = "smtp://" + mail.server + ":" + std::to_string(mail.port);
    const std::string sender = "<" + mail.sender + ">";
    const Owner<curl_slist, Curl_list_release> recipients(
        curl_slist_append(nullptr, ("<" + mail.recipient + ">").c_str()));
    if (!recipients)
        return curl_easy_strerror(CURLE_OUT_OF_MEMORY);
    Upload upload{&mail.message, 0};
    char error[CURL_ERROR_SIZE] = {};
    CURLcode code = CURLE_OK;
    const auto set = [&](auto option, auto value) {
        if (code == CURLE_OK)
            code = curl_easy_setopt(curl.get(), option, value);
    };
    set(CURLOPT_URL, url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "smtp");
    set(CURLOPT_MAIL_FROM, sender.c_str());
    set(CURLOPT_MAIL_RCPT, recipients.get());
    set(CURLOPT_READFUNCTION, &read_upload);
    set(CURLOPT_READDATA, static_cast<void*>(&upload));
    set(CURLOPT_UPLOAD, 1L);
    set(CURLOPT_ERRORBUFFER, error);
    set(CURLOPT_CONNECTTIMEOUT, static_cast<long>(mail.connect_limit.count()));
    set(CURLOPT_TIMEOUT, static_cast<long>(mail.total_limit.count()));
    set(CURLOPT_NOSIGNAL, 1L);
    if (mail.require_tls)
        set(CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    if (code == CURLE_OK)
        code = curl_easy_perform(curl.get());
    if (code == CURLE_OK)
        return {};
    return error[0] ? error : curl_easy_strerror(code);
}

} // namespace velin
