#include "card_channel/card_provider.h"

#include "common/failure.h"
#include "common/openssl_encoding.h"
#include "common/owner.h"
#include "common/registry.h"
#include "common/trace.h"

#include <libp11.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace velin {

namespace {

std::string trimmed(const char* text)
{
    std::string value = text ? text : "";
    while (!value.empty() && (value.back() == ' ' || value.back() == '\0'))
        value.pop_back();
    return value;
}

} // namespace

// libp11's objects, each let go by its own call. A context is unloaded only when its module was
// loaded, so the loaded module has an owner of its own, let go before the context.
struct Pkcs11_context_release {
    void operator()(PKCS11_CTX* context) const { PKCS11_CTX_free(context); }
};
struct Pkcs11_module_release {
    void operator()(PKCS11_CTX* context) const { PKCS11_CTX_unload(context); }
};
struct Pkcs11_slots_release {
    PKCS11_CTX* context = nullptr;
    unsigned int count = 0;
    void operator()(PKCS11_SLOT* slots) const { PKCS11_release_all_slots(context, slots, count); }
};

// Members are let go in reverse order: the slots, the module, then the context.
struct Card_provider::State {
    Owner<PKCS11_CTX, Pkcs11_context_release> context;
    Owner<PKCS11_CTX, Pkcs11_module_release> module;
    Owner<PKCS11_SLOT, Pkcs11_slots_release> slots;
    unsigned int slot_count = 0;
    PKCS11_SLOT* slot = nullptr;
};

namespace {

// How well a certificate suits a signature with legal value: 2 for a non-repudiation-only one
// (a qualified signature certificate), 1 for non-repudiation beside other uses (a card's
// authentication certificate may have it), 0 otherwise.
int signing_rank(X509* certificate)
{
    const uint32_t usage = X509_get_key_usage(certificate);
    if (!(usage & KU_NON_REPUDIATION))
        return 0;
    return usage & KU_DIGITAL_SIGNATURE ? 1 : 2;
}

// The token's signing certificate: the one whose CKA_ID is that of a key pair, the
// non-repudiation one when there are several; the first certificate when no key is linked.
const PKCS11_CERT& signing_certificate_object(PKCS11_TOKEN* token)
{
    PKCS11_CERT* certificates = nullptr;
    unsigned int count = 0;
    if (PKCS11_enumerate_certs(token, &certificates, &count) != 0)
        throw std::runtime_error("PKCS#11 certificates not listed");

    // The key pairs on the token by their CKA_ID. Before login a token may hide its private
    // keys; the public half of a pair carries the same id, so it names the pair just as well.
    std::vector<std::vector<unsigned char>> key_ids;
    auto collect = [&key_ids](PKCS11_KEY* keys, unsigned int key_count) {
        for (unsigned int i = 0; i < key_count; ++i)
            if (keys[i].id && keys[i].id_len)
                key_ids.emplace_back(keys[i].id, keys[i].id + keys[i].id_len);
    };
    PKCS11_KEY* keys = nullptr;
    unsigned int key_count = 0;
    if (PKCS11_enumerate_keys(token, &keys, &key_count) == 0)
        collect(keys, key_count);
    if (key_ids.empty() && PKCS11_enumerate_public_keys(token, &keys, &key_count) == 0)
        collect(keys, key_count);

    auto has_key = [&key_ids](const PKCS11_CERT& certificate) {
        if (!certificate.id || !certificate.id_len)
            return false;
        const std::vector<unsigned char> id(certificate.id, certificate.id + certificate.id_len);
        return std::find(key_ids.begin(), key_ids.end(), id) != key_ids.end();
    };
    // A token may also hold CA certificates, stored anywhere in its list: the signing
    // certificate is the one with a key, the non-repudiation one when there are several.
    const PKCS11_CERT* chosen = nullptr;
    int chosen_rank = -1;
    for (unsigned int i = 0; i < count; ++i) {
        const PKCS11_CERT& certificate = certificates[i];
        if (!certificate.x509 || !has_key(certificate))
            continue;
        if (const int rank = signing_rank(certificate.x509); rank > chosen_rank) {
            chosen = &certificate;
            chosen_rank = rank;
        }
    }
    // No key linked to any certificate: the first certificate is all there is to go by.
    for (unsigned int i = 0; !chosen && i < count; ++i)
        if (certificates[i].x509)
            chosen = &certificates[i];
    if (!chosen)
        throw std::runtime_error("no certificate on the token");
    return *chosen;
}

} // namespace

Card_provider::Card_provider(const std::string& module_path, const std::string& reader_name)
    : _state(std::make_unique<State>())
{
    _state->context.reset(PKCS11_CTX_new());
    PKCS11_CTX* context = _state->context.get();
    if (!context)
        throw std::runtime_error("PKCS11_CTX_new");
    // A module the Java machine's provider holds stays as it is when this provider goes: unloading
    // it would finalise it under the provider, whose next signature would then fail.
    const bool in_use = pkcs11_module_in_use(module_path);
    if (PKCS11_CTX_load(context, module_path.c_str()) != 0)
        throw std::runtime_error("PKCS#11 module not loaded: " + module_path);
    if (!in_use)
        _state->module.reset(context);
    PKCS11_SLOT* slots = nullptr;
    unsigned int slot_count = 0;
    if (PKCS11_enumerate_slots(context, &slots, &slot_count) != 0)
        throw std::runtime_error("PKCS#11 slots not listed");
    _state->slots = Owner<PKCS11_SLOT, Pkcs11_slots_release>(slots, Pkcs11_slots_release{context, slot_count});
    _state->slot_count = slot_count;
    // A card with several PINs shows up as one token per PIN, all in the same reader (the
    // authentication key under one, the signature application under another): the token whose
    // signing certificate a relying party prefers is the one to sign with.
    int best_rank = -1;
    for (unsigned int i = 0; i < _state->slot_count; ++i) {
        PKCS11_SLOT& slot = _state->slots.get()[i];
        if (!slot.token || !slot.token->initialized)
            continue;
        const std::string description = trimmed(slot.description);
        if (description.find(reader_name) == std::string::npos && trimmed(slot.token->label) != reader_name)
            continue;
        int rank = 0;
        try {
            rank = signing_rank(signing_certificate_object(slot.token).x509);
        } catch (const std::exception&) {
            // A token without certificates is a choice of last resort.
        }
        if (rank > best_rank) {
            best_rank = rank;
            _state->slot = &slot;
        }
    }
    if (!_state->slot)
        throw std::runtime_error("no token for reader " + reader_name);
}

unsigned long Card_provider::slot_id() const
{
    return PKCS11_get_slotid_from_slot(_state->slot);
}

Card_provider::~Card_provider() = default;

std::vector<unsigned char> Card_provider::user_certificate() const
{
    const PKCS11_CERT& chosen = signing_certificate_object(_state->slot->token);
    std::vector<unsigned char> der = der_encoding(chosen.x509, i2d_X509);
    if (der.empty())
        throw std::runtime_error("certificate not encoded");
    return der;
}

unsigned long last_token_code()
{
    // libp11 files a failed call under a library of its own, with the call's CKR_* as reason.
    const int library = ERR_get_CKR_code();
    unsigned long code = 0;
    while (const unsigned long error = ERR_get_error())
        if (ERR_GET_LIB(error) == library)
            code = static_cast<unsigned long>(ERR_GET_REASON(error));
    return code;
}

unsigned long token_code_in(const std::string& error_text, std::initializer_list<unsigned long> codes)
{
    for (const unsigned long code : codes) {
        const char* reason = ERR_reason_error_string(ERR_PACK(ERR_get_CKR_code(), 0, code));
        if (reason && error_text.find(std::string("Causa: ") + reason + ".") != std::string::npos)
            return code;
    }
    return 0;
}

void Card_provider::login(const char* pin)
{
    ERR_clear_error();
    if (PKCS11_login(_state->slot, 0, pin) != 0)
        throw Token_error("PKCS#11 login refused", last_token_code());
}

std::shared_ptr<EVP_PKEY> Card_provider::signing_key()
{
    ERR_clear_error();
    PKCS11_TOKEN* token = _state->slot->token;
    const PKCS11_CERT& certificate = signing_certificate_object(token);
    const std::vector<unsigned char> id(certificate.id, certificate.id + certificate.id_len);
    PKCS11_KEY* keys = nullptr;
    unsigned int count = 0;
    if (PKCS11_enumerate_keys(token, &keys, &count) != 0)
        throw Token_error("PKCS#11 keys not listed", last_token_code());
    for (unsigned int i = 0; i < count; ++i) {
        if (!keys[i].isPrivate || std::vector<unsigned char>(keys[i].id, keys[i].id + keys[i].id_len) != id)
            continue;
        if (EVP_PKEY* key = PKCS11_get_private_key(&keys[i]))
            return std::shared_ptr<EVP_PKEY>(key, Release{});
    }
    throw std::runtime_error("no private key for the signing certificate");
}

bool Card_provider::logout()
{
    return PKCS11_logout(_state->slot) == 0;
}

std::string issuer_display_name(const std::vector<unsigned char>& certificate)
{
    const unsigned char* in = certificate.data();
    const Owner<X509> x509(d2i_X509(nullptr, &in, static_cast<long>(certificate.size())));
    if (!x509)
        return {};
    const X509_NAME* issuer = X509_get_issuer_name(x509.get());
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
        const int index = X509_NAME_get_index_by_NID(issuer, nid, -1);
        if (index < 0)
            continue;
        std::optional<std::string> name = utf8_of(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(issuer, index)));
        if (name)
            return std::move(*name);
    }
    return {};
}

bool is_regional_card(const std::string& reader_name)
{
    assertion(!reader_name.empty(), "not is_empty (reader_name)");
    std::vector<unsigned char> certificate;
    try {
        Card_provider provider(pkcs11_module_path(), reader_name);
        certificate = provider.user_certificate();
    } catch (const std::exception& error) {
        Trace(Trace_kind, Level_error) << "Errore durante l'acquisizione del contesto crittografico.";
        Trace(Trace_kind, Level_trace) << error.what();
        return false;
    }
    return issuer_display_name(certificate).find(Regional_issuer) != std::string::npos;
}

} // namespace velin
