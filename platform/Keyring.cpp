#include "platform/Keyring.h"

#include "platform/Log.h"

#include <libsecret/secret.h>

#include <memory>

namespace platform {
namespace {

// Matched by attributes alone, so that items made by hand with secret-tool
// (service … account …) are found too.
const SecretSchema* schema() {
    static const SecretSchema s = [] {
        SecretSchema made {};
        made.name = "org.quillmar.Password";
        made.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        made.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        made.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return made;
    }();
    return &s;
}

struct ErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

KeyringError classify(const GError* e) {
    const std::string detail = e && e->message ? e->message : "unknown error";
    logWarning("keyring", detail);
    if (e && e->domain == SECRET_ERROR && e->code == SECRET_ERROR_IS_LOCKED)
        return {KeyringError::Kind::locked, "The keyring is locked."};
    if (e && (e->domain == G_DBUS_ERROR || e->domain == G_IO_ERROR)) {
        const bool noService = e->domain == G_DBUS_ERROR &&
                               (e->code == G_DBUS_ERROR_SERVICE_UNKNOWN || e->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER ||
                                e->code == G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND ||
                                e->code == G_DBUS_ERROR_SPAWN_EXEC_FAILED);
        const bool noBus = e->domain == G_IO_ERROR &&
                           (e->code == G_IO_ERROR_NOT_FOUND || e->code == G_IO_ERROR_CONNECTION_REFUSED ||
                            e->code == G_IO_ERROR_FAILED || e->code == G_IO_ERROR_CLOSED);
        if (noService || noBus)
            return {KeyringError::Kind::unavailable,
                    "No keyring is available: the desktop's Secret Service isn't running."};
        if (e->domain == G_IO_ERROR && e->code == G_IO_ERROR_CANCELLED)
            return {KeyringError::Kind::locked, "The keyring is locked."};
    }
    return {KeyringError::Kind::failed, "The keyring refused the request: " + detail + "."};
}

}  // namespace

Keyring::Keyring(std::string service) : service_(std::move(service)) {}

KeyringLookup Keyring::lookup(const std::string& account) const {
    GError* raw = nullptr;
    gchar* secret = secret_password_lookup_sync(schema(), nullptr, &raw, "service", service_.c_str(), "account",
                                                account.c_str(), nullptr);
    ErrorPtr error(raw);
    KeyringLookup r;
    if (error) {
        if (secret) secret_password_free(secret);
        r.error = classify(error.get());
        return r;
    }
    if (secret) {
        r.secret = std::string(secret);
        secret_password_free(secret);  // wipes it
        return r;
    }
    // A locked keyring hides its secrets: tell "locked" apart from "not there".
    // Items are kept in the default collection, so its state is the one that counts.
    bool locked = false;
    GError* serviceRaw = nullptr;
    if (SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &serviceRaw)) {
        GError* collectionRaw = nullptr;
        if (SecretCollection* collection = secret_collection_for_alias_sync(
                service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &collectionRaw)) {
            locked = secret_collection_get_locked(collection);
            g_object_unref(collection);
        }
        ErrorPtr collectionError(collectionRaw);
        g_object_unref(service);
    }
    ErrorPtr serviceError(serviceRaw);
    if (locked) r.error = KeyringError{KeyringError::Kind::locked, "The keyring is locked."};
    return r;
}

std::optional<KeyringError> Keyring::store(const std::string& account, const std::string& label,
                                           std::string_view secret) const {
    // The service takes NUL-terminated text.
    const std::string text(secret);
    if (text.find('\0') != std::string::npos) return KeyringError{KeyringError::Kind::failed, "A keyring secret can't hold a NUL byte."};
    GError* raw = nullptr;
    const gboolean ok = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), text.c_str(),
                                                   nullptr, &raw, "service", service_.c_str(), "account",
                                                   account.c_str(), nullptr);
    ErrorPtr error(raw);
    if (error || !ok) return classify(error.get());
    return std::nullopt;
}

std::optional<KeyringError> Keyring::remove(const std::string& account) const {
    GError* raw = nullptr;
    secret_password_clear_sync(schema(), nullptr, &raw, "service", service_.c_str(), "account", account.c_str(),
                               nullptr);
    ErrorPtr error(raw);
    if (error) return classify(error.get());
    return std::nullopt;
}

}  // namespace platform
