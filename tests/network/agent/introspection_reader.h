// Reads the interfaces, methods, arguments and properties out of the XML
// that org.freedesktop.DBus.Introspectable.Introspect returns, so tests
// compare structure rather than the generator's layout of the text.
#ifndef KORVEX_TESTS_NETWORK_AGENT_INTROSPECTION_READER_H
#define KORVEX_TESTS_NETWORK_AGENT_INTROSPECTION_READER_H

#include <map>
#include <string>
#include <vector>

namespace korvex::test {

struct IntrospectedArg {
    std::string name;
    std::string type;
    std::string direction; // "in" when the XML leaves it out

    bool operator==(const IntrospectedArg &) const = default;
};

struct IntrospectedProperty {
    std::string type;
    std::string access;

    bool operator==(const IntrospectedProperty &) const = default;
};

struct IntrospectedInterface {
    std::map<std::string, std::vector<IntrospectedArg>> methods;
    std::map<std::string, IntrospectedProperty> properties;
    std::vector<std::string> signals;
};

// Interfaces by name. Throws std::runtime_error on XML it cannot follow.
std::map<std::string, IntrospectedInterface> read_introspection(const std::string &xml);

} // namespace korvex::test

#endif
