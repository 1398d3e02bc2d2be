// A minimal agent: every type letter the framework maps (and one it does not), an authorized echo,
// and a method asking for authorization without an invocation context, as a broken caller would.
#include <korvex/requests.h>

#include "test_agent_handlers.h"

extern "C" {

PropertyRow properties[] = {
    {1, "uuid", "uuid", "Host UUID", G_PARAM_READABLE, 's'},
    {2, "hostname", "hostname", "Hostname", G_PARAM_READABLE, 's'},
    {3, "flag", "flag", "A boolean", G_PARAM_READWRITE, 'b'},
    {4, "ratio", "ratio", "A double", G_PARAM_READABLE, 'd'},
    {5, "table", "table", "A map", G_PARAM_READABLE, 'e'},
    {6, "small", "small", "A 16-bit signed", G_PARAM_READABLE, 'n'},
    {7, "signed", "signed", "A 32-bit signed", G_PARAM_READABLE, 'i'},
    {8, "word", "word", "A 16-bit unsigned", G_PARAM_READABLE, 'q'},
    {9, "count", "count", "A 32-bit unsigned", G_PARAM_READWRITE, 'u'},
    {10, "octet", "octet", "A byte", G_PARAM_READABLE, 'y'},
    {11, "big", "big", "A 64-bit unsigned", G_PARAM_READABLE, 't'},
    {12, "wide", "wide", "A 64-bit signed", G_PARAM_READABLE, 'x'},
    {13, "mystery", "mystery", "No such letter", G_PARAM_READABLE, 'z'},
    {14, "after-mystery", "after-mystery", "Installed after a bad row", G_PARAM_READABLE, 's'},
    {0, nullptr, nullptr, nullptr, 0, '\0'},
};

gboolean TestAgent_echo(Korvex *, const char *text, DBusGMethodInvocation *context) {
    korvex::authorize("org.vaduderuvoziz.TestAgent.echo", context,
                      [text = std::string(text)](korvex::Request request) {
                          std::move(request).reply_text(text);
                      });
    return TRUE;
}

gboolean TestAgent_unchecked(Korvex *, const char *, DBusGMethodInvocation *context) {
    GError *error = nullptr;
    if (!check_authorization("org.vaduderuvoziz.TestAgent.echo", &error, nullptr)) {
        korvex_reply_refusal(context, &error);
        return FALSE;
    }
    dbus_g_method_return(context, "authorized without a context");
    return TRUE;
}

} // extern "C"

int main() {
    return run_dbus_server("org.vaduderuvoziz.TestAgent", "/org/vaduderuvoziz/TestAgent");
}
