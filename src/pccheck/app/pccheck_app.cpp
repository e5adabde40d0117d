#include "pccheck/app/pccheck_app.h"

#include "common/errno_text.h"
#include "common/message_box.h"
#include "common/trace.h"
#include "pccheck/app/pc_check_window.h"
#include "pccheck/app/report_folder.h"
#include "pccheck/check_report.h"
#include "pccheck/pc_check.h"

#include <cstdio>
#include <cstring>
#include <iostream>

namespace velin::pccheck {

namespace {

bool is_parent_switch(const std::string& argument)
{
    return argument.rfind("/parent=0x", 0) == 0;
}

int run_batch(const Pccheck_arguments& arguments)
{
    if (const std::string refused = refused_runtime_folder(); !refused.empty()) {
        Trace(Trace_kind, Level_warn) << "La cartella privata " << refused << " non appartiene a questo utente.";
        std::cerr << "La cartella " << refused << " non appartiene a questo utente e non viene usata.\n";
    }
    Check_report report(arguments.path_given ? arguments.report_path : default_report_path());
    if (!arguments.path_given)
        report.create_empty();
    report.on_message = [](const std::string& text) { std::cout << text << '\n' << std::flush; };
    Pc_check check(Pc_environment::this_machine(), Pc_check_settings::load(), report);
    const bool clean = check.run_all();
    if (report.write_error() != 0) {
        std::cerr << "Il tracciato non può essere scritto nel file " << report.path() << ": "
                  << velin::errno_text(report.write_error()) << '\n';
        return 2;
    }
    return clean ? 0 : 1;
}

int run_handover(const Pccheck_arguments& arguments)
{
    Check_report report(arguments.report_path);
    Pc_check check(Pc_environment::this_machine(), Pc_check_settings::load(), report);
    check.run_all();
    if (report.write_error() != 0) {
        // No window to show it in: the user would otherwise find a folder without the findings.
        message_box("Il tracciato non può essere scritto nel file " + report.path() + ": " +
                        velin::errno_text(report.write_error()),
                    MB_OK | MB_ICONERROR, nullptr, Suite_caption);
        return 2;
    }
    open_report_folder(report.path());
    return 0;
}

} // namespace

const char* const Pccheck_usage =
    "Uso: velin-pccheck [TRACCIATO] [/batch] [/parent=0x%08x]\n"
    "     velin-pccheck --help | --version\n"
    "\n"
    "Controlla l'installazione della Carta Velin su questo computer. Senza argomenti apre la\n"
    "finestra della verifica; con TRACCIATO aggiunge i risultati a quel file e ne apre la cartella.\n"
    "\n"
    "  /batch      nessuna finestra: i messaggi vanno sullo standard output, i risultati in\n"
    "              TRACCIATO (o nel tracciato della cartella privata); codice di uscita 0 senza\n"
    "              problemi, 1 con problemi, 2 se il tracciato non può essere scritto\n"
    "  --help      mostra questo aiuto\n"
    "  --version   mostra la versione\n";

Pccheck_arguments parse_pccheck_arguments(int argc, const char* const* argv)
{
    Pccheck_arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i] ? argv[i] : "";
        // "/batch" written otherwise, "/?", "-h": switches, never a report in the root folder.
        const bool switch_like =
            !argument.empty() &&
            (argument.front() == '-' || (argument.front() == '/' && argument.find('/', 1) == std::string::npos));
        if (argument == "/batch") {
            arguments.batch = true;
        } else if (argument.empty() || is_parent_switch(argument)) {
            continue;
        } else if (argument == "--help" || argument == "-h") {
            arguments.help = true;
        } else if (argument == "--version") {
            arguments.version = true;
        } else if (switch_like) {
            if (arguments.problem.empty())
                arguments.problem = "opzione sconosciuta: " + argument;
        } else if (!arguments.path_given) {
            arguments.report_path = argument;
            arguments.path_given = true;
        }
    }
    return arguments;
}

int run_pccheck(const Pccheck_arguments& arguments)
{
    Trace(Trace_kind, Level_info) << "Avvio di velin-pccheck"
                                  << (arguments.path_given ? " con il tracciato " + arguments.report_path : "");
    if (arguments.batch)
        return run_batch(arguments);
    if (arguments.path_given)
        return run_handover(arguments);
    Pc_check_window window(Pc_environment::this_machine(), Pc_check_settings::load(), default_report_path());
    window.show();
    window.exec();
    return 0;
}

} // namespace velin::pccheck
