#include "norax_sign/sign_batch.h"

#include "card_channel/scard.h"
#include "common/failure.h"
#include "common/file_io.h"
#include "common/message_box.h"
#include "common/trace.h"
#include "envelope/binary_file.h"
#include "norax_sign/xades_signature.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace velin {

const char* const Text_signed_and_saved = "I documenti sono stati firmati e salvati.";
const char* const Text_signature_failed = "La firma è fallita.";
const char* const Text_pin_refused =
    "La carta ha rifiutato il PIN: la firma si ferma qui, perché riprovare con lo stesso PIN potrebbe bloccare la "
    "carta.";
const char* const Text_pin_blocked = "Il PIN è bloccato.";
const char* const Text_card_removed = "La carta è stata rimossa dal lettore.";
const char* const Text_save_failed = "Il salvataggio del file è fallito.";
const char* const Text_overwrite_original = "Sovrascrivere il file originale?";
const char* const Text_exists_overwrite = " esiste già.\nSovrascriverlo?";
const char* const Text_same_signer_again =
    "La busta è già firmata con il certificato di questa carta.\nAggiungere comunque un'altra firma dello stesso "
    "firmatario?";
const char* const Text_same_signer_again_xml =
    "Il documento XML è già firmato con il certificato di questa carta.\nAggiungere comunque un'altra firma dello "
    "stesso firmatario?";
const char* const Text_input_missing = "Il file non esiste.";
const char* const Text_input_folder = "È una cartella, non un documento: non si può firmare.";
const char* const Text_input_not_regular =
    "Non è un file ordinario (è una pipe, un dispositivo o un socket): non si può firmare.";
const char* const Text_input_empty = "Il file è vuoto.";
const char* const Text_input_unreadable = "Il file non si può leggere: l'accesso è negato.";
const char* const Text_timestamp_pdf =
    "Per la firma in formato PDF la marca temporale è quella del documento (PAdES-T): le altre forme valgono per le "
    "buste .p7m.";
const char* const Text_timestamp_not_pdf =
    "La marca temporale del documento (PAdES-T) si può chiedere solo per la firma in formato PDF.";
const char* const Text_timestamp_xades =
    "Per la firma XAdES la marca temporale è quella sulla firma (XAdES-T): le altre forme valgono per le buste "
    ".p7m.";
const char* const Text_xades_only_xml = "La firma XAdES si può apporre solo a documenti XML (.xml).";

std::optional<std::string> confirmed_output(Sign_batch_ui& ui, const std::string& output, bool replaces_original,
                                            const std::string& proposed, bool pdf)
{
    int answer = IDYES;
    if (replaces_original) {
        answer = ui.ask(Text_overwrite_original, MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2);
    } else {
        std::error_code error;
        if (std::filesystem::exists(output, error))
            answer = ui.ask(output + Text_exists_overwrite, MB_YESNOCANCEL | MB_ICONWARNING | MB_DEFBUTTON2);
    }
    if (answer == IDCANCEL)
        return std::nullopt;
    if (answer == IDNO)
        return ui.save_as(proposed, pdf);
    return output;
}

namespace {

bool ends_with_no_case(const std::string& text, std::string_view suffix)
{
    return text.size() >= suffix.size() &&
           std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                      [](char a, char b) {
                          return std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b));
                      });
}

bool starts_with_no_case(const std::string& text, std::string_view prefix)
{
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

bool is_folder(const std::string& path)
{
    std::error_code error;
    return !path.empty() && std::filesystem::is_directory(path, error);
}

// The authority's token for the SHA-256 digest of the bytes a time stamp covers.
Signature_stamper digest_stamper(const Timestamp_client& timestamps)
{
    return [&timestamps](std::span<const uint8_t> digest, std::string& failure) -> std::optional<std::vector<uint8_t>> {
        auto stamp = timestamps.stamp_digest(digest, failure);
        if (!stamp)
            return std::nullopt;
        return std::move(stamp->token);
    };
}

// "La firma è fallita." with the document that failed on a line of its own, and why when known.
std::string failure_text(const std::string& path, const std::string& reason)
{
    std::string text = std::string(Text_signature_failed) + "\n" + path;
    if (!reason.empty())
        text += "\n\n" + reason;
    return text;
}

} // namespace

const char* input_refusal(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return errno == EACCES ? Text_input_unreadable : Text_input_missing;
    if (S_ISDIR(status.st_mode))
        return Text_input_folder;
    // A pipe or a device would be read without end, or block, or read as empty.
    if (!S_ISREG(status.st_mode))
        return Text_input_not_regular;
    if (status.st_size == 0)
        return Text_input_empty;
    if (::access(path.c_str(), R_OK) != 0)
        return Text_input_unreadable;
    return nullptr;
}

std::string xades_input_refusal(const std::string& path)
{
    if (const char* refusal = input_refusal(path))
        return refusal;
    if (!ends_with_no_case(path, ".xml"))
        return Text_xades_only_xml;
    // Not read at all when too large to be signed.
    std::error_code error;
    if (std::filesystem::file_size(path, error) > Xades_max_document_size && !error)
        return Text_xml_too_large;
    Binary_file_read document(path);
    if (!document.succeeded())
        return document.message();
    return xades_refusal(document.value());
}

int write_signed_document(const std::string& path, const Signed_output& output)
{
    struct stat existing {};
    mode_t mode = 0;
    const bool exists = ::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    if (exists) {
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    return replace_file(
        path,
        [&output](int descriptor) {
            return write_all(descriptor, output.head) && write_all(descriptor, output.document) &&
                   (!output.held || output.held->write_to(descriptor)) && write_all(descriptor, output.tail);
        },
        mode, exists ? &existing : nullptr);
}

std::string signed_document_path(const std::string& path, unsigned flags, const std::string& output_folder)
{
    std::string output = path;
    if (!output_folder.empty())
        output = (std::filesystem::path(output_folder) / std::filesystem::path(path).filename()).string();
    if (!(flags & (Flag_parallel | Flag_pdf | Flag_xades)))
        output += ".p7m";
    return output;
}

std::optional<std::string> batch_output_folder(Sign_batch_ui& ui, const std::vector<std::string>& paths,
                                               const std::string& given)
{
    if (is_folder(given))
        return given;
    if (paths.size() == 1) {
        const std::string folder = std::filesystem::path(paths.front()).parent_path().string();
        return folder.empty() ? std::string(".") : folder;
    }
    std::optional<std::string> chosen = ui.choose_output_folder();
    if (!chosen || !is_folder(*chosen))
        return std::nullopt;
    return chosen;
}

namespace {

// Why the card did not sign, said to the user; the batch's result for it.
uint32_t signing_failure(Sign_batch_ui& ui, const Card_signer& signer, const std::string& path)
{
    const uint32_t error = signer.error_code();
    if (error == Result_cancelled || error == Result_cancelled_by_user)
        return Result_cancelled;
    if (error == Result_timestamp_failed) {
        Trace(Trace_kind, Level_error) << failure_text(path, signer.timestamp_failure());
        ui.show_pending_errors();
        return error;
    }
    if (error == Scard_w_removed_card) {
        Trace(Trace_kind, Level_error) << Text_card_removed;
        ui.show_pending_errors();
        return error;
    }
    const bool pin_refused = error == Result_pin_wrong || error == Result_pin_blocked;
    Trace(Trace_kind, Level_error) << failure_text(path, !pin_refused                  ? ""
                                                         : error == Result_pin_blocked ? Text_pin_blocked
                                                                                       : Text_pin_refused);
    ui.show_pending_errors();
    return pin_refused ? error : Result_failed;
}

// Writes a signed file; a failure is said to the user.
bool saved(Sign_batch_ui& ui, const std::string& output, const Signed_output& bytes)
{
    Trace(Trace_kind, Level_info) << output;
    const int error = write_signed_document(output, bytes);
    if (error == 0)
        return true;
    Trace(Trace_kind, Level_error) << Text_save_failed;
    Trace(Trace_kind, Level_info) << "Errno: " << error;
    Trace(Trace_kind, Level_info) << std::strerror(error);
    ui.show_pending_errors();
    return false;
}

} // namespace

uint32_t sign_document(Sign_batch_ui& ui, Card_signer& signer, const Pin_text& pin, const std::string& path,
                       unsigned flags, const std::string& output_folder, bool parallel_signature, Timestamp_form form,
                       const Timestamp_client* timestamps)
{
    const bool stamps_envelope = form == Timestamp_form::M7m || form == Timestamp_form::Tsd;
    const bool stamps_pdf = form == Timestamp_form::Pdf;
    const bool stamps_beside = form == Timestamp_form::Tsr; // the envelope as it is, the reply beside it
    assertion(!(stamps_envelope || stamps_pdf || stamps_beside) || timestamps, "timestamps ne NULL");
    Trace(Trace_kind, Level_info) << "Firma documento.";
    Binary_file_read document(path);
    if (!document.succeeded()) {
        // Said, not only traced: a FIFO, a device or an empty file would otherwise fail unseen.
        Trace(Trace_kind, Level_error) << failure_text(path, document.message());
        ui.show_pending_errors();
        return Result_failed;
    }

    if (parallel_signature && !(flags & Flag_xades) && ends_with_no_case(path, ".p7m"))
        flags |= Flag_parallel;
    // Two identical signers say no more than one: asked, not done in silence.
    if ((flags & Flag_parallel) && envelope_signed_by(document.value(), signer.certificate()) &&
        ui.ask(Text_same_signer_again, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
        return Result_not_signed;
    if ((flags & Flag_xades) && xades_signed_by(document.value(), signer.certificate()) &&
        ui.ask(Text_same_signer_again_xml, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
        return Result_not_signed;

    // The PDF signer frees the document's bytes once the Java machine has them.
    signer.sign_releasing(pin, document.value(), flags);
    ui.show_pending_errors();
    if (!signer.succeeded())
        return signing_failure(ui, signer, path);

    const std::string envelope_path = signed_document_path(path, flags, output_folder);
    const std::string planned = stamps_envelope ? timestamped_path(envelope_path, form) : envelope_path;
    std::string proposed = (flags & (Flag_parallel | Flag_pdf | Flag_xades)) ? path : path + ".p7m";
    if (stamps_envelope)
        proposed = timestamped_path(proposed, form);
    // Replacing the document itself is asked in the same words for an envelope and a PDF.
    const std::optional<std::string> confirmed =
        confirmed_output(ui, planned, planned == path, proposed, flags & Flag_pdf);
    if (!confirmed)
        return Result_cancelled;
    const std::string& output = *confirmed;
    std::optional<std::string> beside_output;
    if (stamps_beside) {
        beside_output =
            confirmed_output(ui, timestamped_path(output, form), false, timestamped_path(output, form), false);
        if (!beside_output)
            return Result_cancelled;
    }

    // The time stamp is asked for only once the user has agreed where the document goes: an
    // authority may charge for each one.
    std::optional<Signed_output> stamped;
    std::string failure;
    if (stamps_envelope)
        stamped = timestamped_envelope(signer.result(), form, *timestamps,
                                       std::filesystem::path(envelope_path).filename().string(), failure);
    else if (stamps_pdf && signer.timestamp_result(digest_stamper(*timestamps), failure))
        stamped = signer.result();
    std::optional<Timestamp> beside;
    if (stamps_beside) {
        const Signed_output& envelope = signer.result();
        assertion(!envelope.held, "envelope.held eq NULL");
        beside = timestamps->stamp({envelope.head, envelope.document, envelope.tail}, failure);
    }
    if ((stamps_envelope || stamps_pdf || stamps_beside) && !stamped && !beside) {
        Trace(Trace_kind, Level_error) << failure_text(path, failure);
        ui.show_pending_errors();
        return Result_timestamp_failed;
    }

    Trace(Trace_kind, Level_info) << "Salva il documento firmato...";
    if (!saved(ui, output, stamped ? *stamped : signer.result()))
        return Result_failed;
    if (beside) {
        Signed_output reply;
        reply.head = std::move(beside->reply);
        if (!saved(ui, *beside_output, reply))
            return Result_failed;
    }
    return 0;
}

uint32_t sign_batch(Sign_batch_ui& ui, const std::vector<std::string>& paths, unsigned flags,
                    const std::string& output_folder, const Sign_batch_options& options, size_t* failed_documents)
{
    size_t uncounted = 0;
    size_t& failed = failed_documents ? *failed_documents : uncounted;
    failed = 0;
    if (options.timestamp_form != Timestamp_form::None) {
        // Said before the card and the PIN are asked for, not after the first signature.
        const bool pdf = flags & Flag_pdf;
        const bool xades = flags & Flag_xades;
        const char* refusal = pdf != (options.timestamp_form == Timestamp_form::Pdf)
                                  ? (pdf ? Text_timestamp_pdf : Text_timestamp_not_pdf)
                              : xades && options.timestamp_form != Timestamp_form::Signature ? Text_timestamp_xades
                              : !options.timestamps || !options.timestamps->configured()     ? Text_tsa_not_configured
                                                                                             : nullptr;
        if (refusal) {
            Trace(Trace_kind, Level_error) << refusal;
            ui.show_pending_errors();
            failed = paths.size();
            return Result_failed;
        }
    }
    // What cannot be signed is said before anything is asked, the PIN above all.
    std::vector<std::string> signable;
    for (const std::string& path : paths) {
        // An XML document is read and checked here already: not well-formed, a DTD, an earlier
        // signature that does not match.
        const std::string refusal = (flags & Flag_xades) ? xades_input_refusal(path)
                                                         : std::string(input_refusal(path) ? input_refusal(path) : "");
        if (!refusal.empty()) {
            Trace(Trace_kind, Level_error) << failure_text(path, refusal);
            ++failed;
        } else {
            signable.push_back(path);
        }
    }
    ui.show_pending_errors();
    if (signable.empty())
        return Result_failed;
    const std::optional<std::string> folder = batch_output_folder(ui, signable, output_folder);
    if (!folder)
        return 0;

    std::optional<Found_card> card = ui.find_card();
    if (!card)
        return Result_cancelled;
    std::optional<Pin_text> pin = ui.enter_pin(*card);
    if (!pin)
        return Result_cancelled;

    std::unique_ptr<Card_signer> signer = options.make_signer(*card, flags);
    if (options.timestamp_form == Timestamp_form::Signature)
        signer->set_signature_stamper(
            [timestamps = options.timestamps](std::span<const uint8_t> value,
                                              std::string& failure) -> std::optional<std::vector<uint8_t>> {
                auto stamp = timestamps->stamp({value}, failure);
                if (!stamp)
                    return std::nullopt;
                return std::move(stamp->token);
            });
    signer->open();
    ui.show_pending_errors();

    for (size_t index = 0; index < signable.size(); ++index) {
        ui.progress(index, signable.size(), signable[index]);
        const uint32_t result =
            sign_document(ui, *signer, *pin, signable[index], flags, *folder, options.parallel_signature,
                          options.timestamp_form, options.timestamps.get());
        if (result == Result_cancelled) {
            ui.progress(signable.size(), signable.size(), {});
            return Result_cancelled;
        }
        if (result != 0)
            ++failed;
        // The card is gone, or its token refused the PIN the card had accepted: no document
        // after this one can be signed, and each try with that PIN would use up one more of the
        // card's tries. An authority that gave no time stamp would fare no better with the next.
        if (result == Result_pin_wrong || result == Result_pin_blocked || result == Scard_w_removed_card ||
            result == Result_timestamp_failed) {
            ui.progress(signable.size(), signable.size(), {});
            failed += signable.size() - index - 1;
            return Result_failed;
        }
    }
    ui.progress(signable.size(), signable.size(), {});
    if (failed == 0)
        ui.ask(Text_signed_and_saved, MB_OK | MB_ICONINFORMATION);
    return 0;
}

Sign_command_line parse_sign_command_line(int argc, const char* const* argv)
{
    Sign_command_line command;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (starts_with_no_case(argument, "/dir="))
            command.output_folder = argument.substr(5);
        else if (argument.size() == 4 && starts_with_no_case(argument, "/pdf"))
            command.flags |= Flag_pdf;
        else if (argument.size() == 6 && starts_with_no_case(argument, "/xades"))
            command.flags |= Flag_xades;
        else if (argument.size() == 10 && starts_with_no_case(argument, "/solomarca"))
            command.timestamp_only = true;
        else if (argument.size() == 14 && starts_with_no_case(argument, "/marca=xades-t")) {
            command.timestamp_form = Timestamp_form::Signature;
            command.flags |= Flag_xades;
        } else if (starts_with_no_case(argument, "/marca=")) {
            if (const auto form = timestamp_form_named(argument.substr(7)))
                command.timestamp_form = *form;
            else
                command.invalid_switch = argument;
        } else if (!starts_with_no_case(argument, "/parent="))
            command.documents.push_back(argument);
    }
    // An XML signature is neither a PDF signature nor a time stamp alone.
    if (command.invalid_switch.empty() && (command.flags & Flag_xades) &&
        ((command.flags & Flag_pdf) || command.timestamp_only))
        command.invalid_switch = (command.flags & Flag_pdf) ? "/pdf con /xades" : "/solomarca con /xades";
    return command;
}

} // namespace velin
