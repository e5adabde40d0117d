// velin-verify: the verifier.
//   velin-verify [FILE] [/update] [/quiet] [/parent=0x%08x]   the window
//   velin-verify --batch [--json] [--jobs N] [--] FILE...      no window
//   velin-verify --batch [--json] [--jobs N] --stdin           no window, one path per line
//   velin-verify --batch [--rapporto R.pdf] [--rapporto-etsi R.xml] FILE...   written reports too
//   velin-verify --aggiorna-liste [EU [IT]]                     refresh the trusted lists
//   velin-verify --help | --version
// The headless mode verifies FILE with the same layers as the window (nested envelopes
// included) and prints each layer's lines and signatures, then the combined outcome. Exit status:
// 0 success, 1 warnings, 2 errors (also when only some layers reached a summary), 3 no layer
// reached a summary (unsupported or unreadable file, no signature); 2 also for a wrong command
// line. With several files each gets its report, in the order given, and the status is the worst
// of theirs (Batch_exit_status).
#include "VelinVerify/app/batch_pool.h"
#include "VelinVerify/app/batch_run.h"
#include "VelinVerify/app/verify_app.h"
#include "VelinVerify/pipeline/report_channel.h"
#include "VelinVerify/report/report_output.h"
#include "common/failure.h"
#include "common/guarded_application.h"
#include "common/settings_record.h"
#include "common/trace.h"
#include "common/version.h"
#include "java_bridge/java_vm.h"
#include "java_bridge/pdf_verify.h"
#include "trust/common_data_folder.h"
#include "trust/trusted_list_refresh.h"
#include "trust/trusted_list_store.h"
#include "trust/trusted_store.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sched.h>
#include <unistd.h>

namespace {

constexpr const char* usage =
    "Uso: velin-verify [FILE]\n"
    "     velin-verify --batch [--json] [--content DOCUMENTO] [--] FILE\n"
    "     velin-verify --batch [--json] [--jobs N] [--] FILE...\n"
    "     velin-verify --batch [--json] [--jobs N] --stdin\n"
    "     velin-verify --batch [--rapporto RAPPORTO.pdf] [--rapporto-etsi RAPPORTO.xml] FILE\n"
    "     velin-verify --batch [--rapporto CARTELLA] [--rapporto-etsi CARTELLA] FILE...\n"
    "     velin-verify --aggiorna-liste [LISTA_EUROPEA [LISTA_IT]]\n"
    "     velin-verify --help | --version\n";

constexpr const char* help_text =
    "\n"
    "Verifica i documenti firmati (.p7m, .p7s, .m7m, .tsd, .pdf, .xml), i contenitori di firme (.asics,\n"
    ".asice, .bdoc, .edoc) e le marche temporali separate (.tsr, .tst): senza opzioni apre la finestra\n"
    "del verificatore, con --batch verifica FILE senza finestra e stampa l'esito di ogni livello.\n"
    "\n"
    "  --batch     verifica FILE (anche più d'uno) senza finestra\n"
    "  --json      stampa l'esito come oggetto JSON, uno per riga e per file (implica --batch)\n"
    "  --stdin     legge i file da verificare dallo standard input, uno per riga (le righe vuote\n"
    "              sono ignorate, ogni riga è presa intera, spazi compresi)\n"
    "  --jobs N    verifica fino a N file per volta (da 1 a 256; senza: quanti sono i\n"
    "              processori); i risultati escono comunque nell'ordine dei file\n"
    "  --content DOCUMENTO\n"
    "              il documento di una firma o di una marca temporale separata (senza:\n"
    "              quello accanto a FILE); solo con un file\n"
    "  --rapporto RAPPORTO.pdf\n"
    "              scrive anche il rapporto di verifica stampabile (PDF/A) di FILE; con più\n"
    "              file (o --stdin) è una cartella che esiste già, e ogni rapporto vi prende\n"
    "              il nome del suo file con \".pdf\" in fondo\n"
    "  --rapporto-etsi RAPPORTO.xml\n"
    "              scrive anche il rapporto di convalida ETSI TS 119 102-2 (XML) di FILE; con\n"
    "              più file è una cartella, come per --rapporto, con \".xml\" in fondo\n"
    "  --          ciò che segue è il nome del file, anche se comincia con \"-\"\n"
    "  --aggiorna-liste  scarica e verifica la lista europea delle liste di fiducia e la\n"
    "              lista di fiducia italiana (dagli indirizzi delle impostazioni, o dagli\n"
    "              indirizzi o file dati) e le conserva per i prossimi avvii\n"
    "  --help      mostra questo aiuto\n"
    "  --version   mostra la versione\n"
    "\n"
    "Codici di uscita di --batch: 0 successo, 1 segnalazioni, 2 errori (o riga di comando\n"
    "errata, o un rapporto che non si è potuto scrivere: l'esito del file resta quello\n"
    "stampato), 3 nessun esito (file illeggibile, non supportato o senza firme). Con più file\n"
    "vale il peggiore: 2 se un file ha errori, o se un file non ha esito mentre altri ce\n"
    "l'hanno; 1 se un file ha segnalazioni; 3 solo se nessun file ha un esito.\n";

enum class Mode { Window, Batch, Refresh_lists, Help, Version, Wrong };

// More would only cost memory and threads: the files wait on the processors anyway.
constexpr unsigned Max_jobs = 256;

struct Command_line {
    Mode mode = Mode::Window;
    bool json = false;
    bool from_stdin = false;
    unsigned jobs = 0; // 0: one per processor
    std::vector<std::string> files;
    std::string content; // the document of a detached signature
    std::string report_pdf; // --rapporto
    std::string report_etsi; // --rapporto-etsi
    std::vector<std::string> sources; // of --aggiorna-liste
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

// The processors this process may run on.
unsigned processor_count()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

// The value of --jobs: a whole number from 1 to Max_jobs, digits only.
std::optional<unsigned> parse_jobs(const std::string& text)
{
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < 1 || value > Max_jobs)
        return std::nullopt;
    return value;
}

// Options in any order; "--" ends them; FILE... or --stdin.
Command_line parse_headless(int argc, char** argv)
{
    Command_line line;
    bool batch = false;
    bool refresh = false;
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
        } else if (argument == "--stdin") {
            line.from_stdin = true;
        } else if (argument == "--jobs" || argument.rfind("--jobs=", 0) == 0) {
            std::optional<std::string> value;
            if (argument != "--jobs")
                value = argument.substr(7);
            else if (i + 1 < argc)
                value = argv[++i];
            const std::optional<unsigned> jobs = value ? parse_jobs(*value) : std::nullopt;
            if (jobs)
                line.jobs = *jobs;
            else if (line.problem.empty())
                line.problem = value ? "--jobs vuole un numero intero da 1 a " + std::to_string(Max_jobs) + ", non \"" +
                                           *value + "\""
                                     : "manca il numero dopo --jobs";
        } else if (argument == "--content") {
            if (i + 1 < argc)
                line.content = argv[++i];
            else if (line.problem.empty())
                line.problem = "manca il documento dopo --content";
        } else if (argument == "--rapporto" || argument == "--rapporto-etsi") {
            std::string& target = argument == "--rapporto" ? line.report_pdf : line.report_etsi;
            if (i + 1 < argc && argv[i + 1][0] != '\0')
                target = argv[++i];
            else if (line.problem.empty())
                line.problem = "manca il rapporto dopo " + argument;
        } else if (argument == "--aggiorna-liste") {
            refresh = true;
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
    } else if (refresh && (batch || line.from_stdin || line.jobs || files.size() > 2 || !line.report_pdf.empty() ||
                           !line.report_etsi.empty())) {
        line.mode = Mode::Wrong;
        line.problem = files.size() <= 2 ? "--aggiorna-liste non va con --batch" : "al più due liste";
    } else if (refresh) {
        line.mode = Mode::Refresh_lists;
        line.sources = files;
    } else if (!batch) {
        line.mode = Mode::Wrong;
        line.problem = "manca --batch";
    } else if (line.from_stdin && !files.empty()) {
        line.mode = Mode::Wrong;
        line.problem = "con --stdin i file si leggono dallo standard input, non dalla riga di comando";
    } else if (files.empty() && !line.from_stdin) {
        line.mode = Mode::Wrong;
        line.problem = "manca il file da verificare";
    } else if (!line.content.empty() && (files.size() != 1 || line.from_stdin)) {
        // The document of a detached signature belongs to one signature, not to a list of files.
        line.mode = Mode::Wrong;
        line.problem = "--content vale per un solo file";
    } else {
        line.mode = Mode::Batch;
        line.files = std::move(files);
    }
    return line;
}

// What the run says outside any file's report (loading the trusted lists).
void say_notice(const velin::Status_line& notice)
{
    std::cerr << "velin-verify: " << velin::notice_text(notice) << '\n';
}

// Several files, or a list on the standard input: the pool, one report per file.
// The written reports asked for, and what makes their facts; nothing when none was asked for.
std::optional<velin::Report_output> report_output(const Command_line& line, const velin::Pipeline_settings& settings,
                                                  const velin::Pipeline_services& services)
{
    velin::Report_request request{line.report_pdf, line.report_etsi, line.from_stdin || line.files.size() > 1};
    if (!request.any())
        return std::nullopt;
    const std::shared_ptr<velin::Trusted_store> store = services.trusted_store ? services.trusted_store() : nullptr;
    return velin::Report_output(std::move(request),
                                velin::make_report_context(velin::Suite_version, settings, store.get()));
}

velin::Facts_maker facts_maker()
{
    return [](const velin::Verification_session& session) {
        return std::make_shared<const velin::Report_facts>(velin::make_report_facts(session, std::time(nullptr)));
    };
}

// Writes the reports of one file; false (each reason said) when one could not be written.
bool write_reports(std::optional<velin::Report_output>& output, const velin::Batch_report& report)
{
    if (!output)
        return true;
    const std::vector<std::string> problems = output->write(report);
    for (const std::string& problem : problems)
        std::cerr << "velin-verify: " << velin::printable_text(problem) << '\n';
    return problems.empty();
}

int run_pool_mode(const Command_line& line, const velin::Pipeline_settings& settings)
{
    velin::Batch_path_list listed(line.files);
    velin::Batch_path_reader read(STDIN_FILENO);
    velin::Batch_path_source& source = line.from_stdin ? static_cast<velin::Batch_path_source&>(read) : listed;
    const velin::Pipeline_services services = velin::default_services();
    velin::Batch_pool pool(settings, services, line.jobs ? line.jobs : processor_count());
    // Made on the first report, once the pool has loaded the trusted lists the reports name.
    std::optional<velin::Report_output> output;
    bool reports_written = true;
    if (!line.report_pdf.empty() || !line.report_etsi.empty())
        pool.set_facts_maker(facts_maker());
    const int status = pool.run(
        source,
        [&, printed = std::size_t{0}](const velin::Batch_report& report) mutable {
            if (line.json) {
                velin::print_json(std::cout, report);
            } else {
                // A rule between reports: each starts with its "File:" line after it.
                if (printed++ > 0)
                    std::cout << '\n' << std::string(72, '=') << "\n\n";
                velin::print_text(std::cout, report);
            }
            // Each report as soon as it is known: a reader of a pipe sees the files go by.
            std::cout.flush();
            if (!output)
                output = report_output(line, settings, services);
            reports_written = write_reports(output, report) && reports_written;
        },
        say_notice);
    if (read.error() != 0) {
        const std::string reason = velin::system_error_text(velin::error_code_from_errno(read.error()));
        std::cerr << "velin-verify: la lettura dell'elenco dei file è fallita" << (reason.empty() ? "." : ": " + reason)
                  << '\n';
        return velin::Exit_errors;
    }
    if (pool.files() == 0)
        std::cerr << "velin-verify: nessun file da verificare.\n";
    return reports_written ? status : velin::Exit_errors;
}

int run_batch_mode(int argc, char** argv, const Command_line& line)
{
    // A PDF needs the Java machine: it starts while the program sets itself up and the pipeline
    // reads the file, and readies the PDF verification meanwhile.
    std::optional<velin::Jvm_start_ahead> java_ahead;
    if (!line.from_stdin)
        if (const std::optional<uint64_t> size = velin::pdf_file_size(line.files.front()))
            java_ahead.emplace(*size, velin::prepare_pdf_verification);
    // The PDF report lays out text with fonts: a graphical application, on no screen.
    std::unique_ptr<QCoreApplication> application;
    if (!line.report_pdf.empty()) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        application = std::make_unique<velin::Guarded_gui_application>(argc, argv);
    } else {
        application = std::make_unique<velin::Guarded_core_application>(argc, argv);
    }
    velin::Settings_record settings;
    settings.load();
    velin::Trace_block block("Velin Manager");
    if (line.from_stdin || line.files.size() > 1)
        return run_pool_mode(line, velin::Pipeline_settings::from(settings));
    const velin::Pipeline_services services = velin::default_services();
    {
        // As for many files: the lists' notices are the run's, not lines of the file's report.
        velin::Report_channel notices(say_notice);
        velin::load_run_trusted_store(services, notices, say_notice);
    }
    const velin::Pipeline_settings pipeline_settings = velin::Pipeline_settings::from(settings);
    std::optional<velin::Report_output> output = report_output(line, pipeline_settings, services);
    const velin::Batch_report report = velin::run_batch(line.files.front(), pipeline_settings, services, line.content,
                                                        output ? facts_maker() : velin::Facts_maker());
    if (line.json)
        velin::print_json(std::cout, report);
    else
        velin::print_text(std::cout, report);
    std::cout.flush();
    if (!write_reports(output, report))
        return velin::Exit_errors;
    return report.exit_code;
}

int run_refresh_lists(int argc, char** argv, const Command_line& line)
{
    velin::Guarded_core_application application(argc, argv);
    velin::Trace_block block("Velin Manager");
    velin::List_sources sources = velin::configured_list_sources();
    if (line.sources.size() > 0)
        sources.european = line.sources[0];
    if (line.sources.size() > 1)
        sources.national = line.sources[1];
    const std::atomic<bool> never_cancelled{false};
    const velin::Refresh_outcome outcome = velin::refresh_trusted_lists(
        sources, velin::trusted_list_folder(), velin::eu_list_pins(velin::common_data_folder()), never_cancelled);
    for (const velin::Refresh_line& refresh_line : outcome.lines)
        (refresh_line.kind == velin::Refresh_line::Information ? std::cout : std::cerr) << refresh_line.text << '\n';
    return outcome.succeeded ? 0 : 2;
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
        case Mode::Refresh_lists:
            return run_refresh_lists(argc, argv, line);
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
