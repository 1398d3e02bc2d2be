// Just enough JSON writing for korvexctl's --json output: one object per
// command, with strings, numbers, booleans and arrays of objects.
#ifndef KORVEXCTL_JSON_TEXT_H
#define KORVEXCTL_JSON_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvex::ctl {

std::string json_quote(std::string_view text);

class JsonObject {
public:
    JsonObject &add(std::string_view key, std::string_view text);
    JsonObject &add(std::string_view key, const char *text) {
        return add(key, std::string_view(text));
    }
    JsonObject &add(std::string_view key, bool value);
    JsonObject &add(std::string_view key, int64_t value);
    JsonObject &add(std::string_view key, const std::vector<JsonObject> &items);
    std::string text() const { return "{" + members_ + "}"; }

private:
    JsonObject &add_raw(std::string_view key, const std::string &json);
    std::string members_;
};

} // namespace korvex::ctl

#endif
