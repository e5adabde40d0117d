#include "VelinVerify/update/package_control.h"

#include "VelinVerify/update/update_version.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <boost/format.hpp>

namespace velin {

namespace {

constexpr int Field_time_limit_ms = 10000;
// The two fields are a few dozen bytes: more is no answer of dpkg-deb's to these questions.
constexpr qint64 Output_limit = 64 * 1024;

std::string_view without_prefix(std::string_view line, std::string_view name)
{
    if (line.substr(0, name.size()) != name)
        return {};
    line.remove_prefix(name.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
        line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
        line.remove_suffix(1);
    return line;
}

bool printable(std::string_view text)
{
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    }
    return true;
}

std::string packed_text(uint32_t version)
{
    return (boost::format("%u.%u.%u.%u") % (version >> 24) % (version >> 16 & 0xff) % (version >> 8 & 0xff) %
            (version & 0xff))
        .str();
}

} // namespace

std::optional<Package_control> parse_package_fields(std::string_view output)
{
    std::optional<std::string> package;
    std::optional<std::string> version;
    while (!output.empty()) {
        const std::size_t end = output.find('\n');
        const std::string_view line = output.substr(0, end);
        output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
        if (line.empty())
            continue;
        std::optional<std::string>* field = nullptr;
        std::string_view value;
        if (line.rfind("Package:", 0) == 0) {
            field = &package;
            value = without_prefix(line, "Package:");
        } else if (line.rfind("Version:", 0) == 0) {
            field = &version;
            value = without_prefix(line, "Version:");
        } else {
            // A continuation line or another field: neither is a name or a version.
            return std::nullopt;
        }
        if (*field || value.empty() || !printable(value))
            return std::nullopt;
        *field = std::string(value);
    }
    if (!package || !version)
        return std::nullopt;
    return Package_control{*package, *version};
}

std::optional<uint32_t> package_version_number(std::string_view version)
{
    if (const std::size_t colon = version.find(':'); colon != std::string_view::npos) {
        const std::string_view epoch = version.substr(0, colon);
        if (epoch.empty() || epoch.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        version.remove_prefix(colon + 1);
    }
    if (const std::size_t dash = version.rfind('-'); dash != std::string_view::npos)
        version = version.substr(0, dash);
    // Only the dotted form: "0x…" is a way to publish a number, not a package version.
    if (version.empty() || version.find_first_not_of("0123456789.") != std::string_view::npos)
        return std::nullopt;
    return parse_published_version(version);
}

std::string package_control_refusal(const Package_control& control, const std::string& expected_package,
                                    uint32_t published_version)
{
    if (control.package != expected_package)
        return "il file contiene il pacchetto \"" + control.package + "\" invece di \"" + expected_package + "\".";
    const std::optional<uint32_t> number = package_version_number(control.version);
    if (!number || *number != published_version)
        return "il pacchetto è della versione " + control.version + ", non di quella pubblicata (" +
               packed_text(published_version) + ").";
    return {};
}

std::optional<Package_control> read_package_control(const std::string& path, std::string& failure)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("dpkg-deb"));
    if (program.isEmpty()) {
        failure = "il contenuto del pacchetto non può essere controllato: manca il programma dpkg-deb.";
        return std::nullopt;
    }
    QProcess reader;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    reader.setProcessEnvironment(environment);
    reader.setProcessChannelMode(QProcess::SeparateChannels);
    reader.setStandardInputFile(QProcess::nullDevice());
    // A relative name that begins with "-" would be read as a switch.
    const std::string file = path.empty() || path.front() == '/' ? path : "./" + path;
    reader.start(
        program,
        {QStringLiteral("--field"), QString::fromStdString(file), QStringLiteral("Package"), QStringLiteral("Version")},
        QIODevice::ReadOnly);
    const bool finished = reader.waitForFinished(Field_time_limit_ms);
    if (!finished) {
        reader.kill();
        reader.waitForFinished();
    }
    const QByteArray output = reader.readAllStandardOutput();
    if (!finished || reader.exitStatus() != QProcess::NormalExit || reader.exitCode() != 0 ||
        output.size() > Output_limit) {
        failure = "il file non è un pacchetto leggibile.";
        return std::nullopt;
    }
    std::optional<Package_control> control = parse_package_fields(std::string_view(output.data(), output.size()));
    if (!control)
        failure = "il file non dice quale pacchetto e quale versione contiene.";
    return control;
}

} // namespace velin
