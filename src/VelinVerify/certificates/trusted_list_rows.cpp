#include "VelinVerify/certificates/trusted_list_rows.h"

namespace velin {

namespace {

std::string type_text(const std::string& type_uri)
{
    const std::string marker = "/Svctype/";
    const size_t at = type_uri.find(marker);
    return at == std::string::npos ? type_uri : type_uri.substr(at + marker.size());
}

std::string list_line(const Trusted_list& list, std::time_t now)
{
    std::string line =
        list_name(list) + ": numero " + std::to_string(list.sequence_number) + " del " + list_time_text(list.issued);
    if (list.next_update == 0)
        return line + ", chiusa.";
    line += ", prossimo aggiornamento entro il " + list_time_text(list.next_update);
    return line + (list.next_update < now ? " (scaduto: aggiornare le liste)." : ".");
}

void add_rows(const Trusted_list& list, std::vector<Trusted_list_row>& rows)
{
    for (const Trust_service& service : list.services)
        rows.push_back({service.provider, service.name, type_text(service.current.type),
                        service_status_text(service.current.status), list_time_text(service.current.start),
                        service.certificates.empty() ? Certificate() : service.certificates.front()});
}

} // namespace

std::string service_status_text(const std::string& status_uri)
{
    const std::string name = status_name(status_uri);
    if (name == "granted")
        return "Concesso";
    if (name == "accredited")
        return "Accreditato";
    if (name == "withdrawn")
        return "Ritirato";
    return name;
}

std::vector<std::string> trusted_list_summary(const Trusted_lists* lists, std::time_t now)
{
    if (!lists)
        return {"Nessuna lista di fiducia in uso: premere \"Aggiorna le liste\" per scaricarle."};
    std::vector<std::string> lines{list_line(lists->european().list, now)};
    for (const Kept_list& national : lists->national())
        lines.push_back(list_line(national.list, now));
    return lines;
}

std::vector<Trusted_list_row> trusted_list_rows(const Trusted_lists& lists)
{
    std::vector<Trusted_list_row> rows;
    add_rows(lists.european().list, rows);
    for (const Kept_list& national : lists.national())
        add_rows(national.list, rows);
    return rows;
}

} // namespace velin
