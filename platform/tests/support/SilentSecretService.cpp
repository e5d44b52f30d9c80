// A Secret Service that never answers: it owns org.freedesktop.secrets on
// the session bus and drops every method call it is sent, as a keyring
// stuck behind an unlock prompt nobody answers looks to its callers.
// Runs until it is killed.
#include <gio/gio.h>

#include <cstdio>

namespace {

GDBusMessage* dropCalls(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer)
{
    if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
        g_object_unref(message);
        return nullptr;
    }
    return message;
}

}  // namespace

int main()
{
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        std::fprintf(stderr, "silent-secret-service: no session bus: %s\n", error->message);
        return 1;
    }
    g_dbus_connection_add_filter(bus, dropCalls, nullptr, nullptr);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_bus_own_name_on_connection(
        bus, "org.freedesktop.secrets", G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE, nullptr,
        [](GDBusConnection*, const gchar*, gpointer data) {
            std::fprintf(stderr, "silent-secret-service: the name is taken\n");
            g_main_loop_quit(static_cast<GMainLoop*>(data));
        },
        loop, nullptr);
    g_main_loop_run(loop);
    return 1;
}
