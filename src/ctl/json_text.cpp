#include "json_text.h"

#include <cstdio>

namespace korvex::ctl {

std::string json_quote(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

JsonObject &JsonObject::add_raw(std::string_view key, const std::string &json) {
    if (!members_.empty())
        members_ += ",";
    members_ += json_quote(key) + ":" + json;
    return *this;
}

JsonObject &JsonObject::add(std::string_view key, std::string_view text) {
    return add_raw(key, json_quote(text));
}

JsonObject &JsonObject::add(std::string_view key, bool value) {
    return add_raw(key, value ? "true" : "false");
}

JsonObject &JsonObject::add(std::string_view key, int64_t value) {
    return add_raw(key, std::to_string(value));
}

JsonObject &JsonObject::add(std::string_view key, const std::vector<JsonObject> &items) {
    std::string array = "[";
    for (size_t i = 0; i < items.size(); ++i)
        array += (i ? "," : "") + items[i].text();
    return add_raw(key, array + "]");
}

} // namespace korvex::ctl
