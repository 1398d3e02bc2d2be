#include "introspection_reader.h"

#include <regex>
#include <stdexcept>

namespace korvex::test {

namespace {

std::map<std::string, std::string> attributes_of(const std::string &text) {
    static const std::regex attribute(R"re(([A-Za-z_:-]+)\s*=\s*"([^"]*)")re");
    std::map<std::string, std::string> result;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), attribute);
         it != std::sregex_iterator(); ++it)
        result[(*it)[1]] = (*it)[2];
    return result;
}

std::string required(const std::map<std::string, std::string> &attributes, const std::string &key,
                     const std::string &tag) {
    auto found = attributes.find(key);
    if (found == attributes.end())
        throw std::runtime_error("<" + tag + "> without " + key);
    return found->second;
}

} // namespace

std::map<std::string, IntrospectedInterface> read_introspection(const std::string &xml) {
    // Comments, the DOCTYPE and processing instructions are skipped; every
    // other tag is an opening, closing or empty element.
    static const std::regex tag(R"re(<!--[\s\S]*?-->|<[!?][^>]*>|<(/?)([A-Za-z]+)([^>]*?)(/?)>)re");

    std::map<std::string, IntrospectedInterface> interfaces;
    IntrospectedInterface *interface = nullptr;
    std::vector<IntrospectedArg> *method_args = nullptr;

    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), tag); it != std::sregex_iterator();
         ++it) {
        const auto &m = *it;
        if (!m[2].matched)
            continue;
        const bool closing = m[1].length() > 0;
        const bool empty = m[4].length() > 0;
        const std::string name = m[2];
        if (closing) {
            if (name == "interface")
                interface = nullptr;
            else if (name == "method")
                method_args = nullptr;
            continue;
        }
        const auto attributes = attributes_of(m[3]);
        if (name == "interface") {
            interface = &interfaces[required(attributes, "name", name)];
            if (empty)
                interface = nullptr;
        } else if (name == "method") {
            if (interface == nullptr)
                throw std::runtime_error("<method> outside an interface");
            // An interface may be described more than once; the last
            // description of a method stands.
            method_args = &interface->methods[required(attributes, "name", name)];
            method_args->clear();
            if (empty)
                method_args = nullptr;
        } else if (name == "signal") {
            if (interface == nullptr)
                throw std::runtime_error("<signal> outside an interface");
            interface->signals.push_back(required(attributes, "name", name));
        } else if (name == "arg" && method_args != nullptr) {
            auto direction = attributes.find("direction");
            method_args->push_back({required(attributes, "name", name),
                                    required(attributes, "type", name),
                                    direction == attributes.end() ? "in" : direction->second});
        } else if (name == "property") {
            if (interface == nullptr)
                throw std::runtime_error("<property> outside an interface");
            interface->properties[required(attributes, "name", name)] = {
                required(attributes, "type", name), required(attributes, "access", name)};
        }
    }
    return interfaces;
}

} // namespace korvex::test
