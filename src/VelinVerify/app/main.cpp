// velin-verify: the verifier.
//   velin-verify [FILE] [/update] [/quiet] [/parent=0x%08x]   the window
//   velin-verify --batch [--json] [--] FILE                    no window
//   velin-verify --help | --version
// The headless mode verifies FILE with the same layers as the window (nested envelopes
// included) and prints each layer's lines and signatures, then the combined outcome. Exit status:
// 0 success, 1 warnings, 2 errors (also when only some layers reached a summary), 3 no layer
// reached a summary (unsupported or unreadable file, no signature); 2 also for a wrong command
// line.
#include "VelinVerify/app/batch_run.h"
#include "VelinVerify/app/verify_app.h"
#include "common/guarded_application.h"
#include "common/settings_record.h"
#include "common/trace.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* usage = "Uso: velin-verify [FILE]\n"
                              "     velin-verify --batch [--json] [--content DOCUMENTO] [--] FILE\n"
                              "     velin-verify --help | --version\n";

constexpr const char* help_text =
    "\n"
    "Verifica i documenti firmati (.p7m, .p7s, .m7m, .tsd, .pdf): senza opzioni apre la finestra del\n"
    "verificatore, con --batch verifica FILE senza finestra e stampa l'esito di ogni livello.\n"
    "\n"
    "  --batch     verifica FILE senza finestra\n"
    "  --json      stampa l'esito come oggetto JSON (implica --batch)\n"
    "  --content DOCUMENTO\n"
    "              il documento di una firma separata (senza: quello accanto a FILE)\n"
    "  --          ciò che segue è il nome del file, anche se comincia con \"-\"\n"
    "  --help      mostra questo aiuto\n"
    "  --version   mostra la versione\n"
    "\n"
    "Codici di uscita di --batch: 0 successo, 1 segnalazioni, 2 errori (o riga di comando\n"
    "errata), 3 nessun esito (file illeggibile, non supportato o senza firme).\n";

enum class Mode { Window, Batch, Help, Version, Wrong };

struct Command_line {
    Mode mode = Mode::Window;
    bool json = false;
    std::string file;
    std::string content; // the document of a detached signature
    std::string problem; // what is wrong with a Wrong command line
};

// Any argument that looks like an option (or "--") selects the headless command line; the
// window's switches are known by name ("/update"), since every absolute path starts with "/".
bool wants_headless(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] == '-' && argv[i][1] != '\0')
            return true;
    return false;
}

// Options in any order; "--" ends them; exactly one FILE.
Command_line parse_headless(int argc, char** argv)
{
    Command_line line;
    bool batch = false;
    bool help = false;
    bool version = false;
    bool options_ended = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (options_ended || argument.size() < 2 || argument[0] != '-') {
            files.push_back(argument);
        } else if (argument == "--") {
            options_ended = true;
        } else if (argument == "--batch") {
            batch = true;
        } else if (argument == "--json") {
            batch = line.json = true;
        } else if (argument == "--content") {
            if (i + 1 < argc)
                line.content = argv[++i];
            else if (line.problem.empty())
                line.problem = "manca il documento dopo --content";
        } else if (argument == "--help" || argument == "-h") {
            help = true;
        } else if (argument == "--version") {
            version = true;
        } else if (line.problem.empty()) {
            line.problem = "opzione sconosciuta: " + argument;
        }
    }
    if (help) {
        line.mode = Mode::Help;
    } else if (version) {
        line.mode = Mode::Version;
    } else if (!line.problem.empty()) {
        line.mode = Mode::Wrong;
    } else if (!batch) {
        line.mode = Mode::Wrong;
        line.problem = "manca --batch";
    } else if (files.size() != 1) {
        line.mode = Mode::Wrong;
        line.problem = files.empty() ? "manca il file da verificare" : "un solo file per volta";
    } else {
        line.mode = Mode::Batch;
        line.file = files.front();
    }
    return line;
}

int run_batch_mode(int argc, char** argv, const Command_line& line)
{
    velin::Guarded_core_application application(argc, argv);
    velin::Settings_record settings;
    settings.load();
    velin::Trace_block block("Velin Manager");
    const velin::Batch_report report =
        velin::run_batch(line.file, velin::Pipeline_settings::from(settings), velin::default_services(), line.content);
    if (line.json)
        velin::print_json(std::cout, report);
    else
        velin::print_text(std::cout, report);
    std::cout.flush();
    return report.exit_code;
}

// A window needs a screen: an X or Wayland display, or a platform named explicitly.
bool has_display()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char* value = std::getenv(name); value && *value)
            return true;
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (wants_headless(argc, argv)) {
        const Command_line line = parse_headless(argc, argv);
        switch (line.mode) {
        case Mode::Help:
            std::cout << usage << help_text;
            return 0;
        case Mode::Version:
            std::cout << "velin-verify " << VELIN_VERSION << '\n';
            return 0;
        case Mode::Batch:
            return run_batch_mode(argc, argv, line);
        default:
            std::cerr << "velin-verify: " << line.problem << ".\n" << usage;
            return 2;
        }
    }
    if (!has_display()) {
        std::cerr << "velin-verify: nessuno schermo disponibile per la finestra.\n" << usage;
        return 2;
    }
    velin::Guarded_application application(argc, argv);
    return velin::run_verify_app(argc, argv);
}
