#include "cardlib/card_kit.h"

#include "cardlib/card_exceptions.h"
#include "cardlib/card_file_reader.h"
#include "cardlib/card_identification.h"
#include "cardlib/netlink_parser.h"
#include "cardlib/reading_prompt.h"
#include "common/trace.h"

namespace velin::cardlib {

namespace {

constexpr uint8_t Pin_reference = 0x10;

[[noreturn]] void file_not_found()
{
    throw CEnumException<QUARK_ERROR>(QUARK_ERROR::File_not_found);
}

File_path joined(const File_path& directory, std::initializer_list<uint16_t> rest)
{
    File_path path = directory;
    path.insert(path.end(), rest);
    return path;
}

bool wrong_pin_status(const ISO7816_RESPONSE_APDU& response)
{
    return response.sw1() == 0x63 || response.status_word() == 0x6982;
}

Bytes pin_bytes(const Pin_text& pin)
{
    return Bytes(pin.view().begin(), pin.view().end());
}

} // namespace

std::shared_ptr<SCard_context> CKit::context()
{
    std::shared_ptr<SCard_context> context = _context.lock();
    if (!context) {
        context = std::make_shared<SCard_context>();
        _context = context;
    }
    return context;
}

SCard& CKit::card()
{
    if (!_card) {
        std::shared_ptr<SCard_context> shared = context();
        const std::string reader = shared->find_reader_with_card();
        _card = std::make_unique<SCard>(shared, reader, SCARD_SHARE_SHARED);
    }
    return *_card;
}

int CKit::card_kind()
{
    if (is_cns_atr(card().atr()))
        return 1;
    try {
        return is_cns_atr(card().card_atr()) ? 2 : 0;
    } catch (const SCard_command_failed_exception& e) {
        // A card without an ATR file is simply not a CNS card.
        Trace(Trace_kind, Level_info) << "EF_ATR non leggibile: SW "
                                      << to_hex(Bytes{e.response().sw1(), e.response().sw2()});
        return 0;
    }
}

void CKit::open_cns_card()
{
    if (!is_cns_card())
        throw CEnumException<quark_errors_t::CCode>(quark_errors_t::Not_cns);
}

void CKit::open_readable_card()
{
    if (!is_cns_card() && !matches_alternative_atr(card().atr()))
        throw CEnumException<quark_errors_t::CCode>(quark_errors_t::Not_cns);
}

std::string CKit::manufacturer()
{
    open_cns_card();
    const Bytes& atr = card().card_atr();
    if (!is_cns_atr(atr))
        throw CEnumException<quark_errors_t::CCode>(quark_errors_t::Not_cns);
    return manufacturer_name(historical_part(atr)[3]);
}

std::string CKit::card_type()
{
    open_cns_card();
    const Bytes& atr = card().card_atr();
    if (!is_cns_atr(atr))
        throw CEnumException<quark_errors_t::CCode>(quark_errors_t::Not_cns);
    return card_type_text(historical_part(atr)[7]);
}

std::string CKit::issuer()
{
    open_cns_card();
    Bytes file;
    {
        Card_transaction transaction(card().handle(), SCARD_LEAVE_CARD);
        file = read_path(card(), catalogue_entry(14).path.value());
    }
    file.resize(der_object_length(file));
    return certificate_issuer(file);
}

std::string CKit::atr_text()
{
    if (card_kind() == 1)
        return to_hex(card().atr(), " ");
    return to_hex(card().card_atr(), " ") + " - CONTACTLESS: " + to_hex(card().atr(), " ");
}

void CKit::enter_fixed_paths()
{
    if (_fixed_entered)
        return;
    for (const auto& entry : cns_catalogue())
        if (entry.path)
            _files[entry.id] = entry;
    _fixed_entered = true;
}

void CKit::discover_netlink()
{
    if (_netlink_discovered)
        return;
    Trace_block block("Ricerca dei file Netlink");
    SCard& card = this->card();
    Card_transaction transaction(card.handle(), SCARD_LEAVE_CARD);
    card.transmit_checked(select_by_name_command(0x00, ""));
    card.transmit_checked(select_by_name_command(0x04, "A000000073"));
    Bytes fci = card.transmit_checked(select_by_file_id_command(0x00, 0x2F00)).data();
    const uint16_t netlink = NetLinkParser::netlink_file_id(read_selected_file(card, fci, 0));
    fci = card.transmit_checked(select_by_file_id_command(0x00, netlink)).data();
    const Netlink_directory directory = NetLinkParser::directory(read_selected_file(card, fci, 0));

    auto enter = [this](uint32_t id, File_path path) {
        CNS_known_file_info info = catalogue_entry(id);
        info.path = std::move(path);
        _files[id] = std::move(info);
    };
    enter(9, joined(directory.directory, {0x2F00}));
    enter(0, joined(directory.directory, {netlink}));
    for (const auto& [id, file_id] : directory.files)
        enter(id, joined(directory.directory, {file_id}));

    card.transmit_checked(select_by_name_command(0x00, ""));
    const Bytes pointers = read_path(card, joined(directory.directory, {0xD004}));
    for (const auto& [name, path] : NetLinkParser::pointers(pointers)) {
        const auto id = catalogue_id_of(name);
        if (id == 5 || id == 6 || id == 7)
            enter(*id, path);
    }
    _netlink_discovered = true;
}

CKit::Resolved CKit::resolve(const char* name)
{
    if (!name)
        throw CEnumException<BASIC_ERRORS::CError>(BASIC_ERRORS::Invalid_argument);
    Resolved resolved;
    if (auto path = path_from_text(name)) {
        resolved.path = *path;
        auto find = [&] {
            for (const auto& [id, info] : _files) {
                if (info.path == *path) {
                    resolved.info = info;
                    resolved.access = info.access;
                    return true;
                }
            }
            return false;
        };
        enter_fixed_paths();
        if (find())
            return resolved;
        // Outside the application folder (1200) and the Netlink folder (1400) nothing may be
        // read, and nothing is sent to the card to find that out.
        if (path->front() != 0x1200 && path->front() != 0x1400) {
            Trace(Trace_kind, Level_warn) << "Lettura non consentita: " << name;
            throw CEnumException<QUARK_ERROR>(QUARK_ERROR::Not_allowed);
        }
        discover_netlink();
        if (!find())
            resolved.access = Access_unknown;
        return resolved;
    }
    try {
        const auto id = catalogue_id_of(name);
        if (!id) {
            Trace(Trace_kind, Level_warn) << "Impossibile trovare il file specificato.";
            file_not_found();
        }
        enter_fixed_paths();
        if (!_files.count(*id))
            discover_netlink();
        const auto found = _files.find(*id);
        if (found == _files.end())
            file_not_found();
        resolved.info = found->second;
        resolved.path = found->second.path.value();
        resolved.access = found->second.access;
        return resolved;
    } catch (const Winapi_exception&) {
        // The card or the reader failed (taken out, too slow): that is what the holder hears,
        // not that the file is missing.
        throw;
    } catch (const CEnumException<CProtocolErrors::CCode>&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        Trace(Trace_kind, Level_warn) << "File non trovato: " << name;
        file_not_found();
    }
}

Bytes CKit::read_file(const char* name)
{
    Trace_block block("Lettura di un file della carta");
    if (!name)
        throw CEnumException<BASIC_ERRORS::CError>(BASIC_ERRORS::Invalid_argument);
    open_readable_card();
    return select_and_read(resolve(name));
}

Bytes CKit::select_and_read(const Resolved& file, bool consented)
{
    // An unknown file is described by the folder it lives in: the applications' or Netlink's.
    CNS_known_file_info unknown;
    if (!file.info) {
        if (file.path.front() != 0x1200 && file.path.front() != 0x1400) {
            Trace(Trace_kind, Level_warn) << "Lettura non consentita: "
                                          << to_hex(Bytes{uint8_t(file.path.front() >> 8), uint8_t(file.path.front())});
            throw CEnumException<QUARK_ERROR>(QUARK_ERROR::Not_allowed);
        }
        unknown = catalogue_entry(file.path.front() == 0x1200 ? 19 : 0);
        unknown.name.clear();
        unknown.path = file.path;
    }
    const CNS_known_file_info& info = file.info ? *file.info : unknown;
    Access_class access = file.access;
    SCard& card = this->card();

    for (bool retried = false;; retried = true) {
        try {
            // The holder is asked before the card is locked: no other program waits on a dialog.
            std::optional<Card_transaction> transaction;
            if (access == Access_pin) {
                for (;;) {
                    Pin_text pin = ask_pin(info);
                    transaction.emplace(card.handle(), SCARD_LEAVE_CARD);
                    const ISO7816_RESPONSE_APDU& response =
                        card.transmit(verify_command(0x00, Pin_reference, pin_bytes(pin)));
                    pin.wipe();
                    if (response.sw1() == 0x90)
                        break;
                    if (!wrong_pin_status(response))
                        throw SCard_command_failed_exception(response);
                    Trace(Trace_kind, Level_warn) << "PIN errato";
                    transaction.reset();
                    show_wrong_pin();
                }
            } else {
                if (access == Access_free && !consented)
                    ask_consent(info);
                transaction.emplace(card.handle(), SCARD_LEAVE_CARD);
            }
            const Selected_file selected = select_path(card, file.path);
            Bytes content = read_selected_file(card, selected.fci, selected.size);
            transaction.reset();
            // A file the catalogue does not describe is shown to the holder only after it was
            // read; it is handed out only with consent.
            if (access == Access_unknown)
                ask_consent(info);
            return content;
        } catch (const SCard_command_failed_exception& e) {
            if (e.response().status_word() != 0x6982 || access == Access_pin || retried)
                throw;
            Trace(Trace_kind, Level_info) << "Il file richiede il PIN";
            access = Access_pin;
        }
    }
}

} // namespace velin::cardlib
