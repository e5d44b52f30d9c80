#pragma once

#include <libsecret/secret.h>

#include <cstdio>
#include <string>

namespace platform::testing {

// Locks the keyring's default collection, as a screen lock or a user would.
// Unlocking it again needs a password prompt: run such tests in a keyring of
// their own.
inline bool lockDefaultKeyring()
{
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error);
    if (!service) {
        g_clear_error(&error);
        return false;
    }
    SecretCollection* collection =
        secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    bool done = false;
    if (collection) {
        GList* objects = g_list_append(nullptr, collection);
        done = secret_service_lock_sync(service, objects, nullptr, nullptr, &error) == 1;
        g_list_free(objects);
        g_object_unref(collection);
    }
    g_clear_error(&error);
    g_object_unref(service);
    return done;
}

// Unlocks the default collection with its password and no prompt, as a
// login manager or another keyring program does: gnome-keyring's own
// interface for it, over a plain session of this process's connection.
inline bool unlockDefaultKeyring(const std::string& password)
{
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    const auto call = [&](const char* interface, const char* method, GVariant* args, const char* reply) -> GVariant* {
        if (!bus)
            return nullptr;
        GVariant* result =
            g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", "/org/freedesktop/secrets", interface, method,
                                        args, G_VARIANT_TYPE(reply), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
        if (!result && error) {
            std::fprintf(stderr, "unlocking the keyring: %s: %s\n", method, error->message);
            g_clear_error(&error);
        }
        return result;
    };
    g_clear_error(&error);
    GVariant* opened = call("org.freedesktop.Secret.Service", "OpenSession",
                            g_variant_new("(sv)", "plain", g_variant_new_string("")), "(vo)");
    GVariant* alias = call("org.freedesktop.Secret.Service", "ReadAlias", g_variant_new("(s)", "default"), "(o)");
    GVariant* done = nullptr;
    if (opened && alias) {
        const char* session = nullptr;
        const char* collection = nullptr;
        g_variant_get(opened, "(v&o)", nullptr, &session);
        g_variant_get(alias, "(&o)", &collection);
        GVariant* secret = g_variant_new(
            "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password.data(), password.size(), 1), "text/plain");
        done = call("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "UnlockWithMasterPassword",
                    g_variant_new("(o@(oayays))", collection, secret), "()");
    }
    for (GVariant* v : {opened, alias, done})
        if (v)
            g_variant_unref(v);
    if (bus)
        g_object_unref(bus);
    return done != nullptr;
}

}  // namespace platform::testing
