#include "norax_sign/timestamp_batch.h"

#include "common/failure.h"
#include "common/message_box.h"
#include "common/trace.h"
#include "envelope/binary_file.h"
#include "envelope/content_kind.h"
#include "envelope/timestamp_token.h"
#include "norax_sign/envelope_signature.h"
#include "norax_sign/pdf_card_signer.h"

#include <cstring>
#include <filesystem>

namespace velin {

const char* const Text_timestamped_and_saved = "I documenti sono stati marcati e salvati.";
const char* const Text_timestamp_failed = "La marca temporale non è stata apposta.";

namespace {

constexpr uint32_t Result_not_stamped = 1;

std::string failure_text(const std::string& path, const std::string& reason)
{
    return std::string(Text_timestamp_failed) + "\n" + path + "\n\n" + reason;
}

// One document: 0, Result_cancelled, Result_timestamp_failed (the authority's fault) or
// Result_not_stamped (the document's).
uint32_t timestamp_document(Sign_batch_ui& ui, const std::string& path, Timestamp_form form,
                            const std::string& output_folder, const Timestamp_client& client)
{
    Binary_file_read file(path);
    if (!file.succeeded()) {
        Trace(Trace_kind, Level_error) << failure_text(path, file.message());
        ui.show_pending_errors();
        return Result_not_stamped;
    }
    const std::vector<uint8_t>& bytes = file.value();
    std::string output = path;
    if (!output_folder.empty())
        output = (std::filesystem::path(output_folder) / std::filesystem::path(path).filename()).string();
    output = timestamped_path(output, form);

    // An envelope in base64 goes into the MIME file as its binary self, which the time stamp covers.
    std::vector<uint8_t> binary;
    if (form == Timestamp_form::Pdf) {
        if (document_type_by_content(bytes) != Document_types::Pdf) {
            Trace(Trace_kind, Level_error) << failure_text(path, "Il documento non è un PDF.");
            ui.show_pending_errors();
            return Result_not_stamped;
        }
    } else if (form != Timestamp_form::Tsd && form != Timestamp_form::Tsr) {
        const bool envelope = document_type_by_content(bytes) == Document_types::Envelope;
        if (envelope && form == Timestamp_form::M7m)
            binary = binary_form(bytes);
        if (!envelope || (form == Timestamp_form::M7m && binary.empty())) {
            Trace(Trace_kind, Level_error)
                << failure_text(path, "Il documento non è una busta firmata leggibile: per marcarlo scegliere il "
                                      "documento marcato (.tsd).");
            ui.show_pending_errors();
            return Result_not_stamped;
        }
    }

    const std::optional<std::string> confirmed =
        confirmed_output(ui, output, output == path, output, form == Timestamp_form::Pdf);
    if (!confirmed)
        return Result_cancelled;
    output = *confirmed;

    std::string failure;
    bool authority_failed = false;
    Signed_output stamped;
    if (form == Timestamp_form::Signature || form == Timestamp_form::Pdf) {
        // Over a signature's value, or over the PDF's bytes (given by their digest).
        const Signature_stamper stamp = [&](std::span<const uint8_t> value,
                                            std::string& reason) -> std::optional<std::vector<uint8_t>> {
            auto got = form == Timestamp_form::Pdf ? client.stamp_digest(value, reason) : client.stamp({value}, reason);
            authority_failed = !got;
            if (!got)
                return std::nullopt;
            return std::move(got->token);
        };
        if (form == Timestamp_form::Pdf) {
            if (auto pdf = timestamped_pdf(bytes, stamp, failure))
                stamped = std::move(*pdf);
        } else {
            size_t count = 0;
            auto envelope = add_signature_timestamps(bytes, stamp, failure, &count);
            if (envelope) {
                Trace(Trace_kind, Level_info) << "Firme marcate: " << count << ".";
                stamped.head = std::move(*envelope);
            }
        }
    } else if (form == Timestamp_form::Tsr) {
        // Any file: the reply over its bytes, kept as the authority sent it.
        auto got = client.stamp({std::span<const uint8_t>(bytes)}, failure);
        authority_failed = !got;
        if (got)
            stamped.head = std::move(got->reply);
    } else {
        Signed_output envelope;
        envelope.document = binary.empty() ? std::span<const uint8_t>(bytes) : std::span<const uint8_t>(binary);
        const std::string name = std::filesystem::path(path).filename().string();
        auto made = timestamped_envelope(envelope, form, client, name, failure);
        authority_failed = !made;
        if (made)
            stamped = std::move(*made);
    }
    if (!failure.empty()) {
        Trace(Trace_kind, Level_error) << failure_text(path, failure);
        ui.show_pending_errors();
        return authority_failed ? Result_timestamp_failed : Result_not_stamped;
    }

    Trace(Trace_kind, Level_info) << "Salva il documento marcato...";
    Trace(Trace_kind, Level_info) << output;
    if (const int error = write_signed_document(output, stamped)) {
        Trace(Trace_kind, Level_error) << Text_save_failed;
        Trace(Trace_kind, Level_info) << "Errno: " << error;
        Trace(Trace_kind, Level_info) << std::strerror(error);
        ui.show_pending_errors();
        return Result_not_stamped;
    }
    return 0;
}

} // namespace

uint32_t timestamp_batch(Sign_batch_ui& ui, const std::vector<std::string>& paths, Timestamp_form form,
                         const std::string& output_folder, const Timestamp_client& client, size_t* failed_documents)
{
    assertion(form != Timestamp_form::None, "form ne None");
    size_t uncounted = 0;
    size_t& failed = failed_documents ? *failed_documents : uncounted;
    failed = 0;
    if (!client.configured()) {
        Trace(Trace_kind, Level_error) << Text_tsa_not_configured;
        ui.show_pending_errors();
        failed = paths.size();
        return Result_failed;
    }
    const std::optional<std::string> folder = batch_output_folder(ui, paths, output_folder);
    if (!folder)
        return 0;
    for (size_t index = 0; index < paths.size(); ++index) {
        ui.progress(index, paths.size(), paths[index]);
        const uint32_t result = timestamp_document(ui, paths[index], form, *folder, client);
        if (result == Result_cancelled) {
            ui.progress(paths.size(), paths.size(), {});
            return Result_cancelled;
        }
        if (result != 0)
            ++failed;
        if (result == Result_timestamp_failed) {
            ui.progress(paths.size(), paths.size(), {});
            failed += paths.size() - index - 1;
            return Result_failed;
        }
    }
    ui.progress(paths.size(), paths.size(), {});
    if (failed == 0)
        ui.ask(Text_timestamped_and_saved, MB_OK | MB_ICONINFORMATION);
    return 0;
}

} // namespace velin
