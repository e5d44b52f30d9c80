#include "platform/Keyring.h"

#include "platform/Log.h"

#include <libsecret/secret.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {
namespace {

// Matched by attributes alone, so that items made by hand with secret-tool
// (service … account …) are found too.
const SecretSchema* schema()
{
    static const SecretSchema s = [] {
        SecretSchema made{};
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

constexpr const char* kNoAnswer = "The keyring didn't answer in time.";

// `cancelled`: our own cancel ended the call, which a dismissed prompt also looks like.
KeyringError classify(const GError* e, bool cancelled)
{
    const std::string detail = e && e->message ? e->message : "unknown error";
    logWarning("keyring", detail);
    if (cancelled)
        return {KeyringError::Kind::noAnswer, kNoAnswer};
    const bool slow =
        e && ((e->domain == G_IO_ERROR && e->code == G_IO_ERROR_TIMED_OUT) ||
              (e->domain == G_DBUS_ERROR && (e->code == G_DBUS_ERROR_NO_REPLY || e->code == G_DBUS_ERROR_TIMEOUT ||
                                             e->code == G_DBUS_ERROR_TIMED_OUT)));
    if (slow)
        return {KeyringError::Kind::noAnswer, kNoAnswer};
    if (e && e->domain == SECRET_ERROR && e->code == SECRET_ERROR_IS_LOCKED)
        return {KeyringError::Kind::locked, "The keyring is locked."};
    if (e && (e->domain == G_DBUS_ERROR || e->domain == G_IO_ERROR)) {
        const bool noService =
            e->domain == G_DBUS_ERROR &&
            (e->code == G_DBUS_ERROR_SERVICE_UNKNOWN || e->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER ||
             e->code == G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND || e->code == G_DBUS_ERROR_SPAWN_EXEC_FAILED);
        const bool noBus =
            e->domain == G_IO_ERROR && (e->code == G_IO_ERROR_NOT_FOUND || e->code == G_IO_ERROR_CONNECTION_REFUSED ||
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

// The cancellables of the calls in progress, for `cancel` on another thread.
class Keyring::Calls {
public:
    // One call's cancellable, registered for as long as the call runs.
    class Call {
    public:
        explicit Call(Calls& calls) : calls_(calls), cancellable_(g_cancellable_new())
        {
            std::lock_guard lock(calls_.mutex_);
            calls_.live_.push_back(cancellable_);
        }
        ~Call()
        {
            {
                std::lock_guard lock(calls_.mutex_);
                calls_.live_.erase(std::find(calls_.live_.begin(), calls_.live_.end(), cancellable_));
            }
            g_object_unref(cancellable_);
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

        GCancellable* get() const { return cancellable_; }
        bool cancelled() const { return g_cancellable_is_cancelled(cancellable_); }

    private:
        Calls& calls_;
        GCancellable* cancellable_;
    };

    void cancelAll()
    {
        std::lock_guard lock(mutex_);
        for (GCancellable* c : live_)
            g_cancellable_cancel(c);
    }

private:
    std::mutex mutex_;
    std::vector<GCancellable*> live_;
};

Keyring::Keyring(std::string service) : service_(std::move(service)), calls_(std::make_shared<Calls>())
{}

void Keyring::cancel() const
{
    calls_->cancelAll();
}

KeyringLookup Keyring::lookup(const std::string& account) const
{
    Calls::Call call(*calls_);
    GError* raw = nullptr;
    gchar* secret = secret_password_lookup_sync(schema(), call.get(), &raw, "service", service_.c_str(), "account",
                                                account.c_str(), nullptr);
    ErrorPtr error(raw);
    KeyringLookup r;
    if (error) {
        if (secret)
            secret_password_free(secret);
        r.error = classify(error.get(), call.cancelled());
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
    if (SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, call.get(), &serviceRaw)) {
        GError* collectionRaw = nullptr;
        if (SecretCollection* collection = secret_collection_for_alias_sync(
                service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, call.get(), &collectionRaw)) {
            locked = secret_collection_get_locked(collection);
            g_object_unref(collection);
        }
        ErrorPtr collectionError(collectionRaw);
        g_object_unref(service);
    }
    ErrorPtr serviceError(serviceRaw);
    if (call.cancelled())
        r.error = KeyringError{KeyringError::Kind::noAnswer, kNoAnswer};
    else if (locked)
        r.error = KeyringError{KeyringError::Kind::locked, "The keyring is locked."};
    return r;
}

std::optional<KeyringError> Keyring::store(const std::string& account, const std::string& label,
                                           std::string_view secret) const
{
    // The service takes NUL-terminated text.
    const std::string text(secret);
    if (text.find('\0') != std::string::npos)
        return KeyringError{KeyringError::Kind::failed, "A keyring secret can't hold a NUL byte."};
    Calls::Call call(*calls_);
    GError* raw = nullptr;
    const gboolean ok =
        secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), text.c_str(), call.get(), &raw,
                                   "service", service_.c_str(), "account", account.c_str(), nullptr);
    ErrorPtr error(raw);
    if (error || !ok)
        return classify(error.get(), call.cancelled());
    return std::nullopt;
}

std::optional<KeyringError> Keyring::remove(const std::string& account) const
{
    Calls::Call call(*calls_);
    GError* raw = nullptr;
    secret_password_clear_sync(schema(), call.get(), &raw, "service", service_.c_str(), "account", account.c_str(),
                               nullptr);
    ErrorPtr error(raw);
    if (error)
        return classify(error.get(), call.cancelled());
    return std::nullopt;
}

}  // namespace platform
