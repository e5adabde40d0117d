#include "VelinMenu/pin/pin_dialog_logic.h"

#include "VelinMenu/channel/status_text.h"
#include "VelinMenu/pin/cns_rules.h"
#include "common/failure.h"
#include "common/message_box.h"
#include "common/trace.h"

#include <openssl/crypto.h>

namespace velin {

namespace {

constexpr uint8_t Ins_change_reference_data = 0x24;
constexpr uint8_t Ins_reset_retry_counter = 0x2C;
constexpr uint8_t Pin_reference = 0x10;

void cleanse(std::string& secret)
{
    if (!secret.empty())
        OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

} // namespace

Pin_dialog_logic::Pin_dialog_logic(Pin_dialog_view& view, Card_search search)
    : _view(view), _search(search ? std::move(search) : [] { return Card_access().find_card(); })
{
}

Pin_dialog_logic::~Pin_dialog_logic()
{
    wipe();
}

void Pin_dialog_logic::wipe()
{
    cleanse(_first);
    cleanse(_new_pin);
}

Pin_outcome Pin_dialog_logic::on_ok(const std::string& first, const std::string& new_pin, const std::string& confirmation)
{
    // The secrets live here only while the handler runs.
    struct Wipe_on_exit {
        Pin_dialog_logic& logic;
        ~Wipe_on_exit() { logic.wipe(); }
    } wipe_on_exit{*this};
    _first = first;
    _new_pin = new_pin;

    if (new_pin != confirmation) {
        _view.message("I PIN non corrispondono.", MB_OK | MB_ICONERROR);
        _view.reset_new_pin();
        return Pin_stay_open;
    }

    int action = Pin_stay_open;
    for (;;) {
        if (!_card) {
            Card_access_result found = _search();
            _card = std::move(found.card);
            _kind = found.kind;
        }
        if (_card) {
            bool proceed = false;
            if (_kind == Card_not_cns) {
                const int answer = _view.message(
                    "La carta inserita non è una Carta Nazionale dei Servizi.\n\nEseguire comunque l'operazione?",
                    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
                if (answer != IDYES)
                    return Pin_close_cancel;
                proceed = true;
            }
            if (_kind == Card_regional_cns || _kind == Card_other_cns || proceed) {
                if (!CNS::is_valid_PIN(_new_pin.c_str())) {
                    _view.message("Il nuovo PIN deve essere di almeno " + std::to_string(CNS::Min_pin_length) + " cifre.",
                                  MB_OK | MB_ICONERROR);
                    _view.reset_new_pin();
                    return Pin_stay_open;
                }
                if (_kind == Card_regional_cns && _new_pin.size() != CNS::Regional_pin_length) {
                    _view.message("Il nuovo PIN deve essere di " + std::to_string(CNS::Regional_pin_length) + " cifre.",
                                  MB_OK | MB_ICONERROR);
                    _view.reset_new_pin();
                    return Pin_stay_open;
                }
                action = perform();
            }
        }
        if (_kind != Card_none)
            break;
        if (_view.message("Inserisci la carta nel lettore e clicca su OK.", MB_OKCANCEL) == IDCANCEL)
            return Pin_close_cancel;
    }

    switch (action) {
    case Pin_stay_open:
    case Pin_close_ok:
    case Pin_close_cancel:
        return static_cast<Pin_outcome>(action);
    default:
        Trace(Trace_kind, Level_trace) << "'action' non gestito: " << action;
        return Pin_stay_open;
    }
}

std::optional<uint16_t> Pin_dialog_logic::exchange(uint8_t ins, const std::string& secret)
{
    std::vector<uint8_t> data = CNS::encode_secret(secret);
    std::vector<uint8_t> new_pin = CNS::encode_secret(_new_pin);
    data.insert(data.end(), new_pin.begin(), new_pin.end());
    OPENSSL_cleanse(new_pin.data(), new_pin.size());

    auto command = std::make_unique<ISCardCmd>();
    command->BuildCmd(0x00, ins, 0x00, Pin_reference, data, uint8_t{0x00});
    OPENSSL_cleanse(data.data(), data.size());
    ISCardCmd* pointer = command.get();
    _card->Transaction(&pointer);
    command->clear();
    if (command->get_ApduReplyLength() != 2)
        return std::nullopt;
    const IByteBuffer reply = command->get_ApduReply();
    return static_cast<uint16_t>(reply.bytes()[0] << 8 | reply.bytes()[1]);
}

int Pin_change_logic::perform()
{
    assertion(CNS::is_valid_PIN(_first.c_str()), "CNS::is_valid_PIN (_old_pin)");
    assertion(CNS::is_valid_PIN(_new_pin.c_str()), "CNS::is_valid_PIN (_new_pin)");
    const std::optional<uint16_t> status = exchange(Ins_change_reference_data, _first);
    if (!status)
        return Pin_stay_open;
    const uint8_t sw1 = static_cast<uint8_t>(*status >> 8);
    const uint8_t sw2 = static_cast<uint8_t>(*status & 0xFF);
    if (sw1 == 0x90) {
        _view.message("Il PIN è stato cambiato.", MB_OK | MB_ICONINFORMATION);
        return Pin_close_ok;
    }
    if (*status == 0x6300) {
        _view.message("Il vecchio PIN è sbagliato.\n\nRiprova.", MB_OK | MB_ICONERROR);
        _view.reset_first_field();
        return Pin_stay_open;
    }
    if (*status == 0x6982 || *status == 0x6983) {
        _view.message("Il PIN è bloccato.", MB_OK | MB_ICONERROR);
        return Pin_close_cancel;
    }
    if (const auto text = status_text(sw1, sw2)) {
        _view.message(*text, MB_OK | MB_ICONERROR);
    } else {
        _view.message("Operazione fallita.", MB_OK | MB_ICONERROR);
        Trace(Trace_kind, Level_warn) << "Status word: " << static_cast<int16_t>(*status);
    }
    return Pin_stay_open;
}

int Pin_unblock_logic::perform()
{
    assertion(CNS::is_valid_PUK(_first.c_str()), "CNS::is_valid_PUK (_puk)");
    assertion(CNS::is_valid_PIN(_new_pin.c_str()), "CNS::is_valid_PIN (_new_pin)");
    const std::optional<uint16_t> status = exchange(Ins_reset_retry_counter, _first);
    if (!status)
        return Pin_stay_open;
    if ((*status >> 8) == 0x90) {
        _view.message("Il PIN è stato sbloccato.", MB_OK | MB_ICONINFORMATION);
        return Pin_close_ok;
    }
    if (*status == 0x6300) {
        _view.message("Il codice PUK è sbagliato.\n\nRiprova.", MB_OK | MB_ICONERROR);
        _view.reset_first_field();
        return Pin_stay_open;
    }
    if (*status == 0x6982 || *status == 0x6983) {
        _view.message("Il PUK è bloccato.", MB_OK | MB_ICONERROR);
        return Pin_close_cancel;
    }
    return Pin_stay_open;
}

} // namespace velin
