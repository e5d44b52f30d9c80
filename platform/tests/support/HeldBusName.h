#pragma once
// A well-known name owned on the session bus as another process owns it: on
// a connection of its own, which lets it go when closed.

#include <gio/gio.h>

#include <string>

namespace platform::testing {

class HeldBusName {
public:
    explicit HeldBusName(const std::string& name)
    {
        GError* error = nullptr;
        if (gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error)) {
            bus_ = g_dbus_connection_new_for_address_sync(
                address,
                GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                     G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, &error);
            g_free(address);
        }
        GVariant* reply = bus_ ? g_dbus_connection_call_sync(
                                     bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                     "RequestName", g_variant_new("(su)", name.c_str(), 4u),  // do not queue
                                     G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error)
                               : nullptr;
        if (reply) {
            guint32 answer = 0;
            g_variant_get(reply, "(u)", &answer);
            held_ = answer == 1;
            g_variant_unref(reply);
        }
        g_clear_error(&error);
    }
    HeldBusName(const HeldBusName&) = delete;
    HeldBusName& operator=(const HeldBusName&) = delete;
    ~HeldBusName() { release(); }

    bool held() const { return held_; }
    void release()
    {
        if (bus_) {
            (void)g_dbus_connection_close_sync(bus_, nullptr, nullptr);
            g_object_unref(bus_);
        }
        bus_ = nullptr;
        held_ = false;
    }

private:
    GDBusConnection* bus_ = nullptr;
    bool held_ = false;
};

}  // namespace platform::testing
