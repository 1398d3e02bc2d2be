// What a refusal or a failure says to the administrator, in plain words.
// A reason may quote what the caller sent (a key, a scheme, a URI), so it
// quotes at most a bounded part of it, escaped as the log escapes it: a
// reason travels in D-Bus replies and log lines alike.
#pragma once

#include <string>
#include <string_view>

namespace korvex::sysconfig {

// The most bytes of one caller's text a reason quotes.
inline constexpr size_t reason_quote_max = 256;

// text in double quotes, escaped, at most `budget` bytes of it.
std::string quoted(std::string_view text, size_t budget = reason_quote_max);

// uri without a user name and password ("http://user:pw@host/x" is
// "http://host/x"), and quoted as above but without the quotes.
std::string shown_uri(std::string_view uri);

// Sets *reason (when asked for) to text; returns result, so that a failing
// step reads `return because(reason, code, "...")`.
template <typename Result>
Result because(std::string *reason, Result result, std::string text) {
    if (reason != nullptr)
        *reason = std::move(text);
    return result;
}

} // namespace korvex::sysconfig
