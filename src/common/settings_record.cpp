#include "common/settings_record.h"

#include "common/registry.h"

namespace velin {

const char* const Administrator_message = "L'operazione richiesta non può essere eseguita.\n"
                                          "Verificare che l'utente corrente abbia privilegi di Amministratore.";

namespace {

uint32_t read_number(Settings_record& record, Registry_root root, const char* key, const char* name, uint32_t fallback)
{
    const Registry_dword_read read = read_dword(root, key, name);
    if (read.succeeded())
        return read.value();
    record.status = Settings_record::Status_failed;
    return fallback;
}

bool read_flag(Settings_record& record, Registry_root root, const char* key, const char* name, bool fallback)
{
    return read_number(record, root, key, name, fallback ? 1 : 0) != 0;
}

std::string read_string(Settings_record& record, Registry_root root, const char* key, const char* name)
{
    const Registry_text_read read = read_text(root, key, name);
    if (read.succeeded())
        return read.value();
    record.status = Settings_record::Status_failed;
    return {};
}

void store(Settings_record& record, uint32_t code)
{
    if (code != 0)
        record.status = Settings_record::Status_failed;
}

} // namespace

void Settings_record::load()
{
    status = Status_ok;
    const auto machine = Registry_root::Local_machine;
    const auto user = Registry_root::Current_user;
    Versione = read_number(*this, machine, Installation_key, "Versione", 0);
    Aggiornamenti = read_flag(*this, machine, Settings_key, "Aggiornamenti", false);
    FirmaParallela = read_flag(*this, machine, Settings_key, "FirmaParallela", false);
    JavaHome = read_string(*this, machine, Settings_key, "JavaHome");
    UltimoAggiornamento = read_string(*this, user, Settings_key, "UltimoAggiornamento");
    VerificaCRL = read_flag(*this, user, Settings_key, "VerificaCRL", true);
    AggiornaCRL = read_flag(*this, user, Settings_key, "AggiornaCRL", true);
    const Registry_dword_read method = read_dword(user, Settings_key, "MetodoRevoca");
    MetodoRevoca = method.succeeded() ? method.value() : 0;
}

bool Settings_record::save_user_part()
{
    const auto user = Registry_root::Current_user;
    const uint32_t codes[] = {
        write_text(user, Settings_key, "UltimoAggiornamento", UltimoAggiornamento),
        write_dword(user, Settings_key, "VerificaCRL", VerificaCRL ? 1 : 0),
        write_dword(user, Settings_key, "AggiornaCRL", AggiornaCRL ? 1 : 0),
    };
    bool saved = true;
    for (const uint32_t code : codes) {
        store(*this, code);
        saved = saved && code == 0;
    }
    return saved;
}

void Settings_record::save_machine_part()
{
    const auto machine = Registry_root::Local_machine;
    store(*this, write_dword(machine, Settings_key, "Aggiornamenti", Aggiornamenti ? 1 : 0));
    store(*this, write_dword(machine, Settings_key, "FirmaParallela", FirmaParallela ? 1 : 0));
    store(*this, write_text(machine, Settings_key, "JavaHome", JavaHome));
}

void Settings_record::save_all(const std::function<void(const std::string& message)>& show_admin_message)
{
    status = Status_ok;
    save_user_part();
    save_machine_part();
    if (status != Status_ok) {
        if (show_admin_message)
            show_admin_message(Administrator_message);
        load();
    }
}

} // namespace velin
