#include "trust/trusted_list_refresh.h"

#include "common/errno_text.h"
#include "common/file_io.h"
#include "common/registry.h"
#include "common/trace.h"
#include "net/curl_transfer.h"
#include "trust/european_list.h"
#include "trust/trusted_list_reader.h"
#include "trust/trusted_list_store.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <optional>

namespace velin {

namespace {

constexpr std::chrono::milliseconds Poll_interval{100};

std::string setting_or(const char* name, const char* fallback)
{
    const Registry_text_read read = read_text(Registry_root::Local_machine, Settings_key, name);
    return read.succeeded() && !read.value().empty() ? read.value() : fallback;
}

bool is_address(const std::string& source)
{
    return source.rfind("http://", 0) == 0 || source.rfind("https://", 0) == 0;
}

class Refresh {
public:
    Refresh(const std::atomic<bool>& cancel) : _cancel(cancel) {}

    void info(std::string text)
    {
        Trace(Trace_kind, Level_info) << text;
        outcome.lines.push_back({Refresh_line::Information, std::move(text)});
    }
    void warning(std::string text)
    {
        Trace(Trace_kind, Level_warn) << text;
        outcome.lines.push_back({Refresh_line::Warning, std::move(text)});
    }
    void error(std::string text)
    {
        Trace(Trace_kind, Level_error) << text;
        outcome.lines.push_back({Refresh_line::Error, std::move(text)});
    }

    void say(Refresh_line::Kind kind, std::string text)
    {
        kind == Refresh_line::Error ? error(std::move(text)) : warning(std::move(text));
    }

    // The bytes of a source, or nothing (said why, as a line of the kind given).
    // of: "della lista ...", as the messages name it.
    std::optional<std::vector<uint8_t>> fetch(const std::string& source, const std::string& of,
                                              Refresh_line::Kind failure = Refresh_line::Error)
    {
        if (!is_address(source)) {
            info("Lettura " + of + " dal file " + source + ".");
            std::vector<uint8_t> bytes;
            int code = 0;
            if (!read_whole_file(source, Trusted_list_max_size, bytes, code)) {
                say(failure, "La lettura " + of + " dal file " + source + " è fallita: " + errno_text(code) + ".");
                return std::nullopt;
            }
            return bytes;
        }
        info("Scaricamento " + of + " da " + source + ".");
        Curl_transfer transfer;
        if (!transfer.valid()) {
            say(failure, "Lo scaricamento " + of + " è fallito: " + Curl_transfer::creation_error());
            return std::nullopt;
        }
        std::string problem = transfer.open("GET", source, Http_time_limits{}, Trusted_list_max_size);
        if (problem.empty())
            problem = transfer.send();
        if (!problem.empty()) {
            say(failure, "Lo scaricamento " + of + " è fallito: " + problem);
            return std::nullopt;
        }
        while (!transfer.completed()) {
            if (_cancel) {
                transfer.abort();
                cancelled();
                return std::nullopt;
            }
            transfer.wait(Poll_interval);
        }
        if (transfer.status() != 200) {
            say(failure, "Lo scaricamento " + of + " è fallito: errore " + std::to_string(transfer.status()) + ".");
            return std::nullopt;
        }
        const std::string body = transfer.take_body();
        return std::vector<uint8_t>(body.begin(), body.end());
    }

    // Said once, however many transfers the cancel stops.
    void cancelled()
    {
        if (!_said_cancelled)
            error("Aggiornamento delle liste di fiducia annullato.");
        _said_cancelled = true;
    }
    bool cancel_asked() const { return _cancel; }

    Refresh_outcome outcome;

private:
    const std::atomic<bool>& _cancel;
    bool _said_cancelled = false;
};

// Where the pivots of the European list come from: their own addresses when the list was
// downloaded; beside the list when it was read from a file (an offline import copies them into
// the same folder under their names).
Pivot_source pivot_source(const std::string& european_source, Refresh& refresh)
{
    return [&european_source, &refresh](const std::string& address) -> std::optional<std::vector<uint8_t>> {
        if (refresh.cancel_asked()) {
            refresh.cancelled();
            return std::nullopt;
        }
        const std::string of = "della lista pivot " + address;
        if (is_address(european_source))
            return refresh.fetch(address, of, Refresh_line::Warning);
        const std::string folder = std::filesystem::path(european_source).parent_path().string();
        return refresh.fetch((folder.empty() ? "." : folder) + "/" + pivot_file_name(address), of,
                             Refresh_line::Warning);
    };
}

// Keeps the pivots the European list was verified through, in place of those kept before.
int keep_pivots(const std::string& folder, const std::vector<Pivot_list>& pivots)
{
    const std::string kept = pivot_list_folder(folder);
    std::error_code error;
    std::filesystem::remove_all(kept, error);
    if (pivots.empty())
        return 0;
    if (!std::filesystem::create_directory(kept, error))
        return error.value() != 0 ? error.value() : EEXIST;
    for (const Pivot_list& pivot : pivots)
        if (const int written =
                replace_file(kept + "/" + pivot_file_name(pivot.address), std::span<const uint8_t>(pivot.bytes), 0600))
            return written;
    return 0;
}

std::string summary(const Trusted_list& list)
{
    std::string text =
        list_name(list) + ": numero " + std::to_string(list.sequence_number) + " del " + list_time_text(list.issued);
    if (list.next_update != 0)
        text += ", prossimo aggiornamento entro il " + list_time_text(list.next_update);
    if (list.territory != "EU")
        text += ", " + std::to_string(list.services.size()) + " servizi";
    return text + ".";
}

// A kept list newer than the one fetched: an old list, however well signed, may still grant what
// has since been withdrawn.
bool older_than_kept(const Trusted_list& fetched, const std::optional<Cached_lists>& kept, Refresh& refresh)
{
    if (!kept)
        return false;
    const Trusted_list* previous = fetched.territory == "EU" ? &kept->european.list : nullptr;
    for (const Kept_list& national : kept->national)
        if (national.list.territory == fetched.territory)
            previous = &national.list;
    if (!previous || fetched.sequence_number >= previous->sequence_number)
        return false;
    refresh.error(list_name(fetched) + " ottenuta (numero " + std::to_string(fetched.sequence_number) +
                  ") è meno recente di quella in uso (numero " + std::to_string(previous->sequence_number) +
                  "): non è stata usata.");
    return true;
}

} // namespace

List_sources configured_list_sources()
{
    List_sources sources;
    sources.european = setting_or(European_list_setting, Default_european_list);
    sources.national = setting_or(National_list_setting, Default_national_list);
    return sources;
}

Refresh_outcome refresh_trusted_lists(const List_sources& sources, const std::string& folder,
                                      const std::vector<Certificate>& eu_pins, const std::atomic<bool>& cancel)
{
    Trace_block block("Aggiornamento delle liste di fiducia.");
    Refresh refresh(cancel);
    if (folder.empty()) {
        refresh.error("La cartella in cui conservare le liste di fiducia non è nota.");
        return std::move(refresh.outcome);
    }
    std::optional<Cached_lists> kept;
    std::vector<uint8_t> kept_cache;
    int code = 0;
    if (read_whole_file(trusted_list_cache_path(folder), 64u * 1024 * 1024, kept_cache, code))
        kept = read_trusted_list_cache(kept_cache);

    const std::optional<std::vector<uint8_t>> european_bytes =
        refresh.fetch(sources.european, "della lista europea delle liste di fiducia");
    if (!european_bytes)
        return std::move(refresh.outcome);
    European_list_reading walked =
        read_european_list(*european_bytes, eu_pins, pivot_source(sources.european, refresh));
    if (refresh.cancel_asked())
        return std::move(refresh.outcome);
    for (const std::string& warning : walked.warnings)
        refresh.warning(warning);
    Trusted_list_reading& european = walked.reading;
    if (european.verified && european.list.territory != "EU")
        european = {false, "La lista non è la lista europea delle liste di fiducia.", {}, {}};
    if (!european.verified) {
        refresh.error("La lista europea delle liste di fiducia non è stata usata: " + european.failure);
        return std::move(refresh.outcome);
    }
    if (!walked.pivots.empty())
        refresh.info("La lista europea delle liste di fiducia è firmata da un certificato annunciato dalle liste "
                     "pivot (" +
                     std::to_string(walked.pivots.size()) + ").");
    if (older_than_kept(european.list, kept, refresh))
        return std::move(refresh.outcome);
    const List_pointer* pointer = european.list.pointer_to(sources.territory);
    if (!pointer) {
        refresh.error("La lista europea delle liste di fiducia non indica la lista di fiducia " + sources.territory +
                      ".");
        return std::move(refresh.outcome);
    }

    const std::optional<std::vector<uint8_t>> national_bytes =
        refresh.fetch(sources.national, "della lista di fiducia " + sources.territory);
    if (!national_bytes)
        return std::move(refresh.outcome);
    Trusted_list_reading national = read_trusted_list(*national_bytes, pointer->certificates);
    if (national.verified && national.list.territory != sources.territory)
        national = {false, "La lista di fiducia non è quella del territorio " + sources.territory + ".", {}, {}};
    if (!national.verified) {
        refresh.error("La lista di fiducia " + sources.territory + " non è stata usata: " + national.failure);
        return std::move(refresh.outcome);
    }
    if (older_than_kept(national.list, kept, refresh))
        return std::move(refresh.outcome);

    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    ::chmod(folder.c_str(), 0700);
    const Kept_list european_kept{std::move(european.list), european.signer.thumbprint(), walked.anchor_thumbprint};
    const Kept_list national_kept{std::move(national.list), national.signer.thumbprint()};
    const std::vector<uint8_t> cache = write_trusted_list_cache(european_kept, {national_kept});
    int written = keep_pivots(folder, walked.pivots);
    if (written == 0)
        written = replace_file(european_list_path(folder), std::span<const uint8_t>(*european_bytes), 0600);
    if (written == 0)
        written = replace_file(national_list_path(folder, sources.territory), std::span<const uint8_t>(*national_bytes),
                               0600);
    if (written == 0)
        written = replace_file(trusted_list_cache_path(folder), std::span<const uint8_t>(cache), 0600);
    if (written != 0) {
        refresh.error(std::string("Il salvataggio delle liste di fiducia è fallito: ") + errno_text(written) + ".");
        return std::move(refresh.outcome);
    }
    refresh.info(summary(european_kept.list));
    refresh.info(summary(national_kept.list));
    for (const Kept_list* list : {&european_kept, &national_kept})
        if (list->list.next_update != 0 && list->list.next_update < std::time(nullptr))
            refresh.warning(past_next_update_text(list->list));
    refresh.info("Le liste di fiducia sono aggiornate: saranno usate dal prossimo avvio del verificatore.");
    refresh.outcome.succeeded = true;
    return std::move(refresh.outcome);
}

} // namespace velin
