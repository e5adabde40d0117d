// What a layer's pipeline takes from outside: the two revocation settings, and the trusted lists,
// the revocation job and the PDF decoder. The program uses the process's own (default_services);
// tests hand in lists loaded from a data folder of their own.
#pragma once

#include "envelope/signed_document.h"
#include "trust/revocation.h"
#include "trust/trusted_store.h"

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace velin {

class Settings_record;

struct Pipeline_settings {
    bool check_revocation = true; // VerificaCRL: three stages when on, two when off
    bool download_crls = true; // AggiornaCRL
    // Each step runs on the thread that queues it, not on a worker thread of the layer's own; its
    // end is still handled from the event loop. For headless runs, whose thread keeps no window
    // responsive and where a thread per layer would only cost its start, its end and the hand-overs.
    bool steps_in_place = false;
    Revocation_method revocation_method = Revocation_method::Both; // MetodoRevoca

    static Pipeline_settings from(const Settings_record& settings);
};

struct Pipeline_services {
    // Called on a worker thread at the first chain building of a layer.
    std::function<std::shared_ptr<Trusted_store>()> trusted_store;
    // The revocation job; needed only when revocation checking is on.
    std::function<std::vector<Revocation_outcome>(const std::vector<Revocation_subject>&, const Revocation_settings&,
                                                  const std::atomic<bool>&)>
        check_revocations;
    // Authorities published at a certificate's caIssuers address, for chains the trusted lists
    // leave incomplete; none: chains are built from the lists alone.
    std::function<std::vector<Certificate>(const Certificate&, bool download_allowed, const std::atomic<bool>& cancel)>
        ca_issuers;
    // The decoder of signed PDF files; without it a PDF fails with "L'analisi del file è fallita.".
    std::function<std::shared_ptr<Signed_document>()> pdf_decoder;
    // The cancel flag the layers look at; none: the process-wide one (closing any layer cancels
    // every layer). A batch gives each file a flag of its own, so that one file's decoding start
    // cannot clear another's cancel, nor one file's cancel stop the others.
    std::shared_ptr<std::atomic<bool>> cancel;
};

// The process-wide trusted store (shared_trusted_store) and the CRL-based revocation job.
Pipeline_services default_services();

} // namespace velin
