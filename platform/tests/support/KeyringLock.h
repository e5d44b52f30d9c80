#pragma once

#include <libsecret/secret.h>

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

}  // namespace platform::testing
