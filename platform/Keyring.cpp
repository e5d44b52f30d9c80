#include "platform/Keyring.h"

#include "platform/Log.h"

#include <libsecret/secret.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
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
struct VariantFree {
    void operator()(GVariant* v) const { g_variant_unref(v); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantFree>;
struct ObjectFree {
    void operator()(gpointer o) const { g_object_unref(o); }
};
template <class T>
using ObjectPtr = std::unique_ptr<T, ObjectFree>;
struct TableFree {
    void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using TablePtr = std::unique_ptr<GHashTable, TableFree>;

constexpr const char* kNoAnswer = "The keyring didn't answer in time.";
constexpr const char* kLocked = "The keyring is locked.";
constexpr const char* kMissing = "No keyring is available: the desktop's Secret Service isn't running.";

constexpr const char* kBusName = "org.freedesktop.secrets";
constexpr const char* kServicePath = "/org/freedesktop/secrets";
constexpr const char* kServiceInterface = "org.freedesktop.Secret.Service";
constexpr const char* kCollectionInterface = "org.freedesktop.Secret.Collection";
constexpr const char* kItemInterface = "org.freedesktop.Secret.Item";
constexpr const char* kPromptInterface = "org.freedesktop.Secret.Prompt";
constexpr const char* kDBus = "org.freedesktop.DBus";
constexpr const char* kDBusPath = "/org/freedesktop/DBus";
constexpr guint32 kDoNotQueue = 4;    // RequestName's flag
constexpr guint32 kPrimaryOwner = 1;  // RequestName's answer

// A wait looks again this often by itself, for services that don't signal
// what changed.
constexpr std::chrono::milliseconds kLookAgain{5000};

// `cancelled`: our own cancel ended the call.
KeyringError describe(const GError* e, bool cancelled)
{
    const std::string detail = e && e->message ? e->message : "unknown error";
    if (cancelled)
        return {KeyringError::Kind::noAnswer, kNoAnswer};
    const bool slow =
        e && ((e->domain == G_IO_ERROR && e->code == G_IO_ERROR_TIMED_OUT) ||
              (e->domain == G_DBUS_ERROR && (e->code == G_DBUS_ERROR_NO_REPLY || e->code == G_DBUS_ERROR_TIMEOUT ||
                                             e->code == G_DBUS_ERROR_TIMED_OUT)));
    if (slow)
        return {KeyringError::Kind::noAnswer, kNoAnswer};
    if (e && e->domain == SECRET_ERROR && e->code == SECRET_ERROR_IS_LOCKED)
        return {KeyringError::Kind::locked, kLocked};
    if (e && (e->domain == G_DBUS_ERROR || e->domain == G_IO_ERROR)) {
        const bool noService =
            e->domain == G_DBUS_ERROR &&
            (e->code == G_DBUS_ERROR_SERVICE_UNKNOWN || e->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER ||
             e->code == G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND || e->code == G_DBUS_ERROR_SPAWN_EXEC_FAILED);
        const bool noBus =
            e->domain == G_IO_ERROR && (e->code == G_IO_ERROR_NOT_FOUND || e->code == G_IO_ERROR_CONNECTION_REFUSED ||
                                        e->code == G_IO_ERROR_FAILED || e->code == G_IO_ERROR_CLOSED);
        if (noService || noBus)
            return {KeyringError::Kind::unavailable, kMissing};
        // libsecret's answer to a prompt the user dismissed.
        if (e->domain == G_IO_ERROR && e->code == G_IO_ERROR_CANCELLED)
            return {KeyringError::Kind::locked, kLocked};
    }
    return {KeyringError::Kind::failed, "The keyring refused the request: " + detail + "."};
}

KeyringError classify(const GError* e, bool cancelled)
{
    logWarning("keyring", e && e->message ? e->message : "unknown error");
    return describe(e, cancelled);
}

// One method call to the Secret Service: the reply, or none and `error`.
VariantPtr callService(GDBusConnection* bus, const std::string& path, const char* interface, const char* method,
                       GVariant* args, const char* replyType, GCancellable* cancel, ErrorPtr& error)
{
    GError* raw = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, kBusName, path.c_str(), interface, method, args,
                                                  replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, -1, cancel, &raw);
    error.reset(raw);
    return VariantPtr(reply);
}

// The default collection's path, "/" when there is none yet.
std::optional<std::string> defaultCollection(GDBusConnection* bus, GCancellable* cancel, ErrorPtr& error)
{
    auto reply = callService(bus, kServicePath, kServiceInterface, "ReadAlias", g_variant_new("(s)", "default"), "(o)",
                             cancel, error);
    if (!reply)
        return std::nullopt;
    const char* path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    return std::string(path);
}

// A collection or an item, as the service's Unlock takes it.
struct Lockable {
    std::string path;
    const char* interface;
};

std::optional<bool> isLocked(GDBusConnection* bus, const Lockable& object, GCancellable* cancel, ErrorPtr& error)
{
    auto reply = callService(bus, object.path, "org.freedesktop.DBus.Properties", "Get",
                             g_variant_new("(ss)", object.interface, "Locked"), "(v)", cancel, error);
    if (!reply)
        return std::nullopt;
    GVariant* raw = nullptr;
    g_variant_get(reply.get(), "(v)", &raw);
    VariantPtr value(raw);
    if (!g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN)) {
        error.reset(g_error_new_literal(G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "Locked isn't a boolean"));
        return std::nullopt;
    }
    return g_variant_get_boolean(value.get()) != FALSE;
}

KeyringState stateNow(GDBusConnection* bus, GCancellable* cancel)
{
    ErrorPtr error;
    auto collection = defaultCollection(bus, cancel, error);
    if (collection && *collection == "/")
        return KeyringState::open;  // storing makes one
    auto locked = collection ? isLocked(bus, {*collection, kCollectionInterface}, cancel, error) : std::nullopt;
    if (locked)
        return *locked ? KeyringState::locked : KeyringState::open;
    switch (describe(error.get(), false).kind) {
    case KeyringError::Kind::noAnswer: return KeyringState::silent;
    case KeyringError::Kind::locked: return KeyringState::locked;
    default: return KeyringState::missing;
    }
}

// What the Secret Service says on the bus, heard on a main context of the
// calling thread while the watch lives: any signal of the service (a
// collection made, removed or changed), property changes, the name changing
// owner and, once asked, a prompt's end. A cancel wakes it.
class ServiceWatch {
public:
    ServiceWatch(GDBusConnection* bus, GCancellable* cancel)
        : bus_(bus), cancel_(cancel), context_(g_main_context_new())
    {
        g_main_context_push_thread_default(context_);
        subscribe(kBusName, kServiceInterface, nullptr, nullptr, nullptr, &ServiceWatch::onChange);
        subscribe(kBusName, "org.freedesktop.DBus.Properties", "PropertiesChanged", nullptr, nullptr,
                  &ServiceWatch::onChange);
        subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus", kBusName,
                  &ServiceWatch::onOwner);
        cancelled_ = g_cancellable_connect(cancel_, G_CALLBACK(+[](GCancellable*, gpointer context) {
                                               g_main_context_wakeup(static_cast<GMainContext*>(context));
                                           }),
                                           context_, nullptr);
    }
    ~ServiceWatch()
    {
        g_cancellable_disconnect(cancel_, cancelled_);
        for (guint id : subscriptions_)
            g_dbus_connection_signal_unsubscribe(bus_, id);
        // Callbacks still queued go with the context, never run.
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }
    ServiceWatch(const ServiceWatch&) = delete;
    ServiceWatch& operator=(const ServiceWatch&) = delete;

    void watchPrompt(const std::string& path)
    {
        subscribe(kBusName, kPromptInterface, "Completed", path.c_str(), nullptr, &ServiceWatch::onCompleted);
    }

    // Until something is heard, the cancel, or `limit`.
    void wait(std::chrono::milliseconds limit)
    {
        bool late = false;
        GSource* timer = g_timeout_source_new(static_cast<guint>(limit.count()));
        g_source_set_callback(
            timer,
            +[](gpointer flag) -> gboolean {
                *static_cast<bool*>(flag) = true;
                return G_SOURCE_REMOVE;
            },
            &late, nullptr);
        g_source_attach(timer, context_);
        while (!late && !changed_ && !ownerChanged_ && !dismissed_ && !g_cancellable_is_cancelled(cancel_))
            g_main_context_iteration(context_, TRUE);
        g_source_destroy(timer);
        g_source_unref(timer);
    }

    // Whether anything was heard since the last call.
    bool takeChange() { return std::exchange(changed_, false) | std::exchange(ownerChanged_, false); }
    bool ownerChanged() const { return ownerChanged_; }
    // Whether the prompt ended, and if so whether it was dismissed.
    const std::optional<bool>& dismissed() const { return dismissed_; }

private:
    void subscribe(const char* sender, const char* interface, const char* member, const char* path, const char* arg0,
                   GDBusSignalCallback callback)
    {
        subscriptions_.push_back(g_dbus_connection_signal_subscribe(bus_, sender, interface, member, path, arg0,
                                                                    G_DBUS_SIGNAL_FLAGS_NONE, callback, this, nullptr));
    }
    static void onChange(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                         gpointer self)
    {
        static_cast<ServiceWatch*>(self)->changed_ = true;
    }
    static void onOwner(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                        gpointer self)
    {
        static_cast<ServiceWatch*>(self)->ownerChanged_ = true;
    }
    static void onCompleted(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* args,
                            gpointer self)
    {
        gboolean dismissed = TRUE;
        if (g_variant_is_of_type(args, G_VARIANT_TYPE("(bv)")))
            g_variant_get(args, "(b@v)", &dismissed, nullptr);
        static_cast<ServiceWatch*>(self)->dismissed_ = dismissed != FALSE;
    }

    GDBusConnection* bus_;
    GCancellable* cancel_;
    GMainContext* context_;
    gulong cancelled_ = 0;
    std::vector<guint> subscriptions_;
    bool changed_ = false;
    bool ownerChanged_ = false;
    std::optional<bool> dismissed_;
};

bool allUnlocked(GDBusConnection* bus, const std::vector<Lockable>& objects, GCancellable* cancel)
{
    return std::all_of(objects.begin(), objects.end(), [&](const Lockable& o) {
        ErrorPtr error;
        return isLocked(bus, o, cancel, error) == std::optional<bool>(false);
    });
}

// Unlocks the objects, through the desktop's password prompt when the
// service wants one, and waits for as long as the user takes. The prompt is
// never dismissed from here (dismissing it takes it away under the user, and
// gnome-keyring 42 dies of it): a cancel only stops waiting, and another
// program unlocking the objects meanwhile ends the wait too, the prompt left
// to the service.
std::optional<KeyringError> unlock(GDBusConnection* bus, const std::vector<Lockable>& objects,
                                   const Keyring::Prompted& prompted, GCancellable* cancel)
{
    ServiceWatch watch(bus, cancel);  // before asking, so no signal is missed
    GVariantBuilder paths;
    g_variant_builder_init(&paths, G_VARIANT_TYPE("ao"));
    for (const Lockable& o : objects)
        g_variant_builder_add(&paths, "o", o.path.c_str());
    ErrorPtr error;
    auto reply = callService(bus, kServicePath, kServiceInterface, "Unlock", g_variant_new("(ao)", &paths), "(aoo)",
                             cancel, error);
    if (!reply)
        return classify(error.get(), g_cancellable_is_cancelled(cancel));
    const char* promptPath = nullptr;
    g_variant_get(reply.get(), "(@ao&o)", nullptr, &promptPath);
    const std::string prompt = promptPath;
    if (prompt == "/")
        return std::nullopt;
    watch.watchPrompt(prompt);
    if (!callService(bus, prompt, kPromptInterface, "Prompt", g_variant_new("(s)", ""), nullptr, cancel, error))
        return classify(error.get(), g_cancellable_is_cancelled(cancel));
    if (prompted)
        prompted();
    for (;;) {
        if (const auto& dismissed = watch.dismissed()) {
            if (*dismissed)
                return KeyringError{KeyringError::Kind::locked, kLocked};
            return std::nullopt;
        }
        if (g_cancellable_is_cancelled(cancel))
            return KeyringError{KeyringError::Kind::noAnswer, kNoAnswer};
        if (watch.ownerChanged()) {
            logWarning("keyring", "the Secret Service went away while its prompt was open");
            return KeyringError{KeyringError::Kind::unavailable, kMissing};
        }
        // Unlocked by another program, or perhaps so when the service doesn't say.
        (void)watch.takeChange();
        if (allUnlocked(bus, objects, cancel))
            return std::nullopt;
        watch.wait(kLookAgain);
    }
}

// The pauses between looks at a lock another holds: a little longer each
// time, and cut short by `cancel`.
class Pause {
public:
    explicit Pause(GCancellable* cancel) : cancel_(cancel), wakes_(g_cancellable_make_pollfd(cancel, &wake_)) {}
    ~Pause()
    {
        if (wakes_)
            g_cancellable_release_fd(cancel_);
    }
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

    // False, at once, once cancelled.
    bool wait()
    {
        if (g_cancellable_is_cancelled(cancel_))
            return false;
        pollfd woken{wake_.fd, POLLIN, 0};
        (void)::poll(&woken, wakes_ ? 1 : 0, ms_);
        ms_ = std::min(ms_ * 2, 50);
        return !g_cancellable_is_cancelled(cancel_);
    }

private:
    GCancellable* cancel_;
    GPollFD wake_{};
    bool wakes_;
    int ms_ = 1;
};

// A well-known name owned on the session bus while this lives. The bus
// gives a name to one connection at a time and takes it back when that
// connection drops, a crashed holder's too. The connection is one of its
// own, since the threads of a process share GLib's.
class HeldName {
public:
    HeldName() = default;
    HeldName(const HeldName&) = delete;
    HeldName& operator=(const HeldName&) = delete;
    ~HeldName()
    {
        if (!bus_)
            return;
        // Released before closing, so the next holder needn't wait for the bus to see the drop.
        if (held_) {
            GError* raw = nullptr;
            VariantPtr(g_dbus_connection_call_sync(bus_.get(), kDBus, kDBusPath, kDBus, "ReleaseName",
                                                   g_variant_new("(s)", name_.c_str()), G_VARIANT_TYPE("(u)"),
                                                   G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &raw));
            g_clear_error(&raw);
        }
        (void)g_dbus_connection_close_sync(bus_.get(), nullptr, nullptr);
    }

    bool held() const { return held_; }

    // Waits for the name until it is free or `cancel` fires: its holder may
    // wait at a password prompt for as long as the user takes. Polled, as
    // the bus's own queue of waiters can't be left on a cancel. A bus that
    // forbids owning the name gives no error, and nothing is held.
    std::optional<KeyringError> take(const std::string& name, GCancellable* cancel)
    {
        GError* raw = nullptr;
        if (gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, cancel, &raw)) {
            const auto flags = GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                    G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
            bus_.reset(g_dbus_connection_new_for_address_sync(address, flags, nullptr, cancel, &raw));
            g_free(address);
        }
        ErrorPtr error(raw);
        if (!bus_)
            return classify(error.get(), g_cancellable_is_cancelled(cancel));
        name_ = name;
        Pause pause(cancel);
        for (;;) {
            raw = nullptr;
            VariantPtr reply(g_dbus_connection_call_sync(
                bus_.get(), kDBus, kDBusPath, kDBus, "RequestName", g_variant_new("(su)", name.c_str(), kDoNotQueue),
                G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, cancel, &raw));
            error.reset(raw);
            if (!reply) {
                if (error && error->domain == G_DBUS_ERROR && error->code == G_DBUS_ERROR_ACCESS_DENIED) {
                    logWarning("keyring", "the session bus doesn't let " + name + " be owned: " + error->message);
                    return std::nullopt;
                }
                return classify(error.get(), g_cancellable_is_cancelled(cancel));
            }
            guint32 answer = 0;
            g_variant_get(reply.get(), "(u)", &answer);
            if (answer == kPrimaryOwner) {
                held_ = true;
                return std::nullopt;
            }
            if (!pause.wait())
                return KeyringError{KeyringError::Kind::noAnswer, kNoAnswer};
        }
    }

private:
    ObjectPtr<GDBusConnection> bus_;
    std::string name_;
    bool held_ = false;
};

// An exclusive flock on a file of its own, held while it lives.
class HeldFile {
public:
    HeldFile() = default;
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    ~HeldFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    // Waits for the lock until it is free or `cancel` fires. Polled, since a
    // blocking flock can't be cancelled.
    std::optional<KeyringError> take(const std::string& path, GCancellable* cancel)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
        if (fd_ < 0)
            return failure(path, std::strerror(errno));
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
            return failure(path, "it isn't a regular file");
        Pause pause(cancel);
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            if (err == EINTR)
                continue;
            if (err != EWOULDBLOCK)
                return failure(path, std::strerror(err));
            if (!pause.wait())
                return KeyringError{KeyringError::Kind::noAnswer, kNoAnswer};
        }
        return std::nullopt;
    }

private:
    static KeyringError failure(const std::string& path, const std::string& why)
    {
        logWarning("keyring", "couldn't lock " + path + ": " + why);
        return {KeyringError::Kind::failed, "Couldn't lock " + path + ": " + why + "."};
    }

    int fd_ = -1;
};

TablePtr attributesOf(const std::string& service, const std::string& account)
{
    return TablePtr(secret_attributes_build(schema(), "service", service.c_str(), "account", account.c_str(), nullptr));
}

}  // namespace

// The cancellables of the calls in progress, for `cancel` on another
// thread, and the count of cancels, so that a call begun before one and not
// yet registered is cancelled as it registers.
class Keyring::Calls {
public:
    // One call's cancellable, registered for as long as the call runs;
    // cancelled at once when a cancel came since `since`.
    class Call {
    public:
        Call(Calls& calls, std::uint64_t since) : calls_(calls), cancellable_(g_cancellable_new())
        {
            std::lock_guard lock(calls_.mutex_);
            calls_.live_.push_back(cancellable_);
            if (calls_.cancels_ != since)
                g_cancellable_cancel(cancellable_);
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
        ++cancels_;
        for (GCancellable* c : live_)
            g_cancellable_cancel(c);
    }
    std::uint64_t cancels()
    {
        std::lock_guard lock(mutex_);
        return cancels_;
    }

private:
    std::mutex mutex_;
    std::vector<GCancellable*> live_;
    std::uint64_t cancels_ = 0;
};

Keyring::Keyring(std::string service) : service_(std::move(service)), calls_(std::make_shared<Calls>())
{}

void Keyring::cancel() const
{
    calls_->cancelAll();
}

Keyring Keyring::fromNow() const
{
    Keyring copy = *this;
    copy.since_ = since();
    return copy;
}

std::uint64_t Keyring::since() const
{
    return since_ ? *since_ : calls_->cancels();
}

KeyringLookup Keyring::lookup(const std::string& account, const Prompted& prompted) const
{
    Calls::Call call(*calls_, since());
    KeyringLookup r;
    GError* raw = nullptr;
    ObjectPtr<SecretService> service(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, call.get(), &raw));
    ErrorPtr error(raw);
    if (!service) {
        r.error = classify(error.get(), call.cancelled());
        return r;
    }
    GDBusConnection* bus = g_dbus_proxy_get_connection(G_DBUS_PROXY(service.get()));
    const TablePtr attributes = attributesOf(service_, account);
    // Searched without unlocking, so that no prompt opens out of sight: a
    // locked keyring is unlocked here, and searched once more.
    for (int round = 0;; ++round) {
        raw = nullptr;
        GList* found = secret_service_search_sync(service.get(), schema(), attributes.get(),
                                                  SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
                                                  call.get(), &raw);
        error.reset(raw);
        if (error) {
            g_list_free_full(found, g_object_unref);
            r.error = classify(error.get(), call.cancelled());
            return r;
        }
        std::vector<Lockable> locked;
        bool unread = false;
        for (GList* l = found; l; l = l->next) {
            SecretItem* item = SECRET_ITEM(l->data);
            if (secret_item_get_locked(item)) {
                locked.push_back({g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)), kItemInterface});
                continue;
            }
            if (r.secret)
                continue;
            // Given as it is, text or not: an item that is there is never taken for none.
            if (SecretValue* value = secret_item_get_secret(item)) {
                gsize length = 0;
                const gchar* bytes = secret_value_get(value, &length);
                r.secret = std::string(bytes ? bytes : "", bytes ? length : 0);
                secret_value_unref(value);  // wipes it
            } else {
                // Listed as open, yet locked by now (its collection, say): asked to unlock too.
                unread = true;
                locked.push_back({g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)), kItemInterface});
            }
        }
        g_list_free_full(found, g_object_unref);
        if (r.secret)
            return r;
        if (round > 0) {
            if (unread)
                r.error = KeyringError{KeyringError::Kind::failed, "The keyring didn't give the secret of its item."};
            else if (!locked.empty())
                r.error = KeyringError{KeyringError::Kind::locked, kLocked};
            return r;
        }
        if (locked.empty()) {
            // A locked default collection may hide the item, and would refuse a new one.
            auto collection = defaultCollection(bus, call.get(), error);
            std::optional<bool> closed;
            if (collection && *collection != "/")
                closed = isLocked(bus, {*collection, kCollectionInterface}, call.get(), error);
            if (collection && (*collection == "/" || closed == std::optional<bool>(false)))
                return r;
            if (!closed) {
                r.error = classify(error.get(), call.cancelled());
                return r;
            }
            locked.push_back({*collection, kCollectionInterface});
        }
        if (auto failed = unlock(bus, locked, prompted, call.get())) {
            r.error = failed;
            return r;
        }
    }
}

std::optional<KeyringError> Keyring::store(const std::string& account, const std::string& label,
                                           std::string_view secret, const Prompted& prompted) const
{
    // The service takes NUL-terminated text.
    const std::string text(secret);
    if (text.find('\0') != std::string::npos)
        return KeyringError{KeyringError::Kind::failed, "A keyring secret can't hold a NUL byte."};
    Calls::Call call(*calls_, since());
    GError* raw = nullptr;
    ObjectPtr<SecretService> service(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, call.get(), &raw));
    ErrorPtr error(raw);
    if (!service)
        return classify(error.get(), call.cancelled());
    GDBusConnection* bus = g_dbus_proxy_get_connection(G_DBUS_PROXY(service.get()));
    auto collection = defaultCollection(bus, call.get(), error);
    if (!collection)
        return classify(error.get(), call.cancelled());
    if (*collection != "/") {
        auto closed = isLocked(bus, {*collection, kCollectionInterface}, call.get(), error);
        if (!closed)
            return classify(error.get(), call.cancelled());
        if (*closed) {
            if (auto failed = unlock(bus, {{*collection, kCollectionInterface}}, prompted, call.get()))
                return failed;
        }
    }
    const TablePtr attributes = attributesOf(service_, account);
    SecretValue* value = secret_value_new(text.c_str(), -1, "text/plain");
    // Without a default collection libsecret makes one through a prompt, which
    // it dismisses when its call is cancelled: such a call isn't cancelled.
    raw = nullptr;
    const gboolean ok =
        secret_service_store_sync(service.get(), schema(), attributes.get(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                  value, *collection == "/" ? nullptr : call.get(), &raw);
    secret_value_unref(value);
    error.reset(raw);
    if (error || !ok)
        return classify(error.get(), call.cancelled());
    return std::nullopt;
}

KeyringLookup Keyring::lookupOrAdd(const std::string& account, const std::string& label, std::string_view secret,
                                   const std::string& lockName, const std::string& lockFile,
                                   const Prompted& prompted) const
{
    // Every step gives up for a cancel that came once this call began.
    const Keyring steps = fromNow();
    KeyringLookup r;
    // Always the name before the file, so that no two callers wait on each other.
    HeldName name;
    HeldFile file;
    {
        Calls::Call call(*calls_, *steps.since_);
        r.error = name.take(lockName, call.get());
        if (!r.error)
            r.error = file.take(lockFile, call.get());
    }
    if (r.error)
        return r;
    r = steps.lookup(account, prompted);
    if (!r.ok() || r.secret)
        return r;
    if (auto failed = steps.store(account, label, secret, prompted)) {
        r.error = failed;
        return r;
    }
    r = steps.lookup(account, prompted);
    if (r.ok() && !r.secret)
        r.error = KeyringError{KeyringError::Kind::failed, "The keyring didn't keep the new item."};
    return r;
}

std::optional<KeyringError> Keyring::remove(const std::string& account) const
{
    Calls::Call call(*calls_, since());
    GError* raw = nullptr;
    secret_password_clear_sync(schema(), call.get(), &raw, "service", service_.c_str(), "account", account.c_str(),
                               nullptr);
    ErrorPtr error(raw);
    if (error)
        return classify(error.get(), call.cancelled());
    return std::nullopt;
}

std::optional<KeyringState> Keyring::waitForChange(KeyringState was) const
{
    Calls::Call call(*calls_, since());
    GError* raw = nullptr;
    ObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, call.get(), &raw));
    ErrorPtr error(raw);
    if (!bus)
        return std::nullopt;
    ServiceWatch watch(bus.get(), call.get());  // before the first look, so no change is missed
    for (;;) {
        const KeyringState now = stateNow(bus.get(), call.get());
        if (call.cancelled())
            return std::nullopt;
        if (now != was)
            return now;
        watch.wait(kLookAgain);
        (void)watch.takeChange();
        if (call.cancelled())
            return std::nullopt;
    }
}

}  // namespace platform
