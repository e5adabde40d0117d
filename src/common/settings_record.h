// The suite's persistent options: what concerns the installation below HKEY_LOCAL_MACHINE, what
// each user decides below HKEY_CURRENT_USER. Each program loads one record at start-up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace velin {

class Settings_record {
public:
    // 1 when every read of the last load (or every write of the last save) succeeded.
    static constexpr int Status_ok = 1;
    static constexpr int Status_failed = 2;

    int status = Status_ok;
    bool FirmaParallela = false;
    uint32_t Versione = 0;
    std::string JavaHome;
    bool Aggiornamenti = false;
    bool VerificaCRL = true;
    bool AggiornaCRL = true;
    // Which revocation sources are asked: 0 the OCSP responder, then the CRL; 1 only OCSP; 2 only
    // the CRL. Optional: without the value both are used and the load still counts as complete.
    uint32_t MetodoRevoca = 0;
    std::string UltimoAggiornamento;

    // Reads every field; a missing or unreadable value gives its default and status 2.
    void load();
    // UltimoAggiornamento, VerificaCRL, AggiornaCRL to HKEY_CURRENT_USER; true when all three
    // were written (a failure also sets status 2).
    bool save_user_part();
    // Aggiornamenti, FirmaParallela, JavaHome to HKEY_LOCAL_MACHINE: needs administrator rights.
    void save_machine_part();
    // Saves both parts; when anything failed, hands the administrator message to
    // `show_admin_message` and loads the record again, so what is shown matches the registry.
    // The box itself is the caller's: this library has no widgets (the GUI library's
    // save_all_settings passes the suite's message box).
    void save_all(const std::function<void(const std::string& message)>& show_admin_message);
};

// "L'operazione richiesta non può essere eseguita.\nVerificare che l'utente corrente abbia
// privilegi di Amministratore."
extern const char* const Administrator_message;

} // namespace velin
