#include "VelinMenu/pin/pin_dialog_logic.h"

#include "VelinMenu/pin/cns_rules.h"
#include "card_io/status_words.h"
#include "common/failure.h"
#include "common/message_box.h"
#include "common/trace.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <utility>

namespace velin {

namespace {

constexpr uint8_t Ins_change_reference_data = 0x24;
constexpr uint8_t Ins_reset_retry_counter = 0x2C;
constexpr uint8_t Pin_reference = 0x10;

} // namespace

Pin_dialog_logic::Pin_dialog_logic(Pin_dialog_view& view, Card_search search)
    : _view(view), _search(search ? std::move(search) : [] { return Card_access().find_card(); })
{}

Pin_dialog_logic::~Pin_dialog_logic()
{
    wipe();
}

void Pin_dialog_logic::wipe()
{
    _first.wipe();
    _new_pin.wipe();
}

Pin_outcome Pin_dialog_logic::on_ok(const Pin_text& first, const Pin_text& new_pin, const Pin_text& confirmation)
{
    // The secrets live here only while the handler runs.
    struct Wipe_on_exit {
        Pin_dialog_logic& logic;
        ~Wipe_on_exit() { logic.wipe(); }
    } wipe_on_exit{*this};
    _first = Pin_text(first.view());
    _new_pin = Pin_text(new_pin.view());

    if (new_pin.view() != confirmation.view()) {
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
                    _view.message("Il nuovo PIN deve essere di almeno " + std::to_string(CNS::Min_pin_length) +
                                      " cifre.",
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

std::optional<uint16_t> Pin_dialog_logic::exchange(uint8_t ins, const Pin_text& secret)
{
    // The secret and the new PIN side by side, in a buffer made at its full size so that no
    // copy is left behind by a growing vector.
    std::vector<uint8_t> data(2 * CNS::Max_pin_length);
    for (const auto& [part, at] :
         {std::pair{secret.view(), size_t(0)}, std::pair{_new_pin.view(), CNS::Max_pin_length}}) {
        std::vector<uint8_t> encoded = CNS::encode_secret(part);
        std::copy(encoded.begin(), encoded.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
        OPENSSL_cleanse(encoded.data(), encoded.size());
    }

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
    // A card that counts says how many tries are left (63Cx); the last one used blocks the PIN.
    const std::optional<int> tries = tries_left(*status);
    if (*status == 0x6300 || tries > 0) {
        _view.message(with_tries_left("Il vecchio PIN è sbagliato.\n\nRiprova.", tries), MB_OK | MB_ICONERROR);
        _view.reset_first_field();
        return Pin_stay_open;
    }
    if (*status == 0x6982 || *status == 0x6983 || tries == 0) {
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
    const std::optional<int> tries = tries_left(*status);
    if (*status == 0x6300 || tries > 0) {
        _view.message(with_tries_left("Il codice PUK è sbagliato.\n\nRiprova.", tries), MB_OK | MB_ICONERROR);
        _view.reset_first_field();
        return Pin_stay_open;
    }
    if (*status == 0x6982 || *status == 0x6983 || tries == 0) {
        _view.message("Il PUK è bloccato.", MB_OK | MB_ICONERROR);
        return Pin_close_cancel;
    }
    return Pin_stay_open;
}

} // namespace velin
