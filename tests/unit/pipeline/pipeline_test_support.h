// What the pipeline tests share: sample files, a data folder of the test PKI per test, services
// built on it, an observer that records what a layer says, and waiting on the event loop.
#pragma once

#include "VelinVerify/pipeline/layer_analysis.h"
#include "VelinVerify/pipeline/pipeline_services.h"
#include "VelinVerify/pipeline/verification_session.h"
#include "eventually.h"
#include "test_folder.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace velin::test {

std::filesystem::path pki_document(const std::string& signer); // contratto-SIGNER.txt.p7m
std::filesystem::path pipeline_sample(const std::string& name);
std::filesystem::path m7m_sample(const std::string& name);

// A DER envelope holding content, signed with the key of a test PKI entity ("signer-legal").
std::vector<uint8_t> sign_envelope(const std::vector<uint8_t>& content, const std::string& signer);

// A copy of the test PKI's data folder (lists and an empty cache) inside folder.
std::filesystem::path make_data_folder(const std::filesystem::path& folder);

// Trusted lists read from data_folder; no revocation job.
Pipeline_services services_for(const std::filesystem::path& data_folder);

Pipeline_settings revocation_off();
Pipeline_settings revocation_on();

std::vector<std::string> texts(const std::vector<Status_line>& lines);
bool has_line(const std::vector<Status_line>& lines, Line_severity severity, const std::string& text);

// Records what a layer tells its observer.
class Recording_observer : public Verify_observer {
public:
    void inner_envelope_found(Document_bytes content, const std::string& name) override
    {
        inner.push_back({std::move(content), name});
    }
    void layer_completed(Layer_analysis&, int icon) override { completed.push_back(icon); }
    void message_box_requested(Layer_analysis&, const Box_request& box) override { boxes.push_back(box); }
    void layer_changed(Layer_analysis&, Layer_change change) override { changes.push_back(change); }

    struct Inner {
        Document_bytes content;
        std::string name;
    };
    std::vector<Inner> inner;
    std::vector<int> completed;
    std::vector<Box_request> boxes;
    std::vector<Layer_change> changes;
};

// A gate a worker step waits at until the test opens it.
class Gate {
public:
    void wait();
    void open();
    bool arrived() const;

private:
    mutable std::mutex _mutex;
    std::condition_variable _opened;
    bool _arrived = false;
    bool _open = false;
};

// Services whose trusted lists load only once the gate is opened (chain building waits there).
Pipeline_services gated_services(const std::filesystem::path& data_folder, Gate& gate);

} // namespace velin::test
