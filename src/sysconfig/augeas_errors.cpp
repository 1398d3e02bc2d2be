#include "augeas_errors.h"

#include <stdlib.h>

#include <algorithm>
#include <string_view>

namespace korvex::sysconfig {

namespace {

// What augeas records when it cannot load a file.
constexpr std::string_view load_errors[] = {"parse_failed", "read_failed", "mxfm_load",
                                            "parse_skel_failed"};

const char *value_at(augeas *aug, const std::string &path) {
    const char *value = nullptr;
    return aug_get(aug, path.c_str(), &value) == 1 ? value : nullptr;
}

// The file an error node is about: the node sits at ".../error" under the
// file's path, below /augeas/files (a load or a save) or /augeas/text/files
// (a text written by a lens in memory).
std::string file_of(std::string_view node) {
    constexpr std::string_view suffix = "/error";
    for (const std::string_view root : {"/augeas/files/", "/augeas/text/files/"})
        if (node.starts_with(root) && node.ends_with(suffix))
            return std::string{
                node.substr(root.size() - 1, node.size() - suffix.size() - root.size() + 1)};
    return "(no filename)";
}

} // namespace

std::string augeas_error_lines(augeas *aug) {
    if (aug_error(aug) == AUG_NOERROR)
        return {};
    std::string text = std::string{"error: "} + aug_error_message(aug) + "\n";
    for (const char *part : {aug_error_minor_message(aug), aug_error_details(aug)})
        if (part != nullptr && *part != '\0')
            text += std::string{part} + "\n";
    return text;
}

std::string augeas_error_entries(augeas *aug, const char *expression) {
    char **matches = nullptr;
    const int count = aug_match(aug, expression, &matches);
    std::string text;
    for (int i = 0; i < count; ++i) {
        const std::string node = matches[i];
        free(matches[i]);
        const char *kind = value_at(aug, node);
        const std::string_view kind_text = kind != nullptr ? kind : "";
        if (std::find(std::begin(load_errors), std::end(load_errors), kind_text) !=
            std::end(load_errors))
            continue;
        const auto child = [&](const char *name) { return value_at(aug, node + "/" + name); };
        const std::string where = "Error in " + file_of(node);
        const std::string what = " (" + std::string{kind_text} + ")\n";
        if (!text.empty())
            text += "\n";
        if (const char *line = child("line"); line != nullptr) {
            const char *character = child("char");
            text += where + ":" + line + "." + (character != nullptr ? character : "") + what;
        } else if (const char *path = child("path"); path != nullptr) {
            text += where + " at node " + path + what;
        } else {
            text += where + what;
        }
        for (const auto &[name, label] : {std::pair{"message", "  "},
                                          {"lens", "  Lens: "},
                                          {"lens/last_matched", "    Last matched: "},
                                          {"lens/next_not_matched", "    Next (no match): "}})
            if (const char *value = child(name); value != nullptr)
                text += std::string{label} + value + "\n";
    }
    free(matches);
    return text;
}

std::string augeas_failure(augeas *aug) {
    // Reading the tree clears the command's error: that comes first.
    std::string text = augeas_error_lines(aug);
    return text + augeas_error_entries(aug, "/augeas//error");
}

} // namespace korvex::sysconfig
