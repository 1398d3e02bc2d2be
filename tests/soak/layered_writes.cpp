#include "layered_writes.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace korvex::test {

std::vector<std::string> sorted_entries(const std::string &dir) {
    std::vector<std::string> names;
    if (!fs::is_directory(dir))
        return names;
    for (const auto &entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// Every file, link and empty folder below root, as "prefix/relative".
void collect_leaves(const fs::path &root, const std::string &prefix,
                    std::vector<std::string> &out) {
    if (!fs::is_directory(root))
        return;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const bool folder = it->is_directory() && !it->is_symlink();
        if (!folder || fs::is_empty(it->path()))
            out.push_back(prefix + "/" + fs::relative(it->path(), root).string());
    }
}

} // namespace

std::vector<std::string> layered_writes(const std::string &state, bool puppet_ran) {
    const fs::path root(state);
    std::vector<std::string> found;
    for (const std::string &layer : sorted_entries(root / "upper"))
        collect_leaves(root / "upper" / layer, "/" + layer, found);
    collect_leaves(root / "host/etc-upper", "/etc", found);
    std::vector<std::string> var_lib;
    collect_leaves(root / "host/var-lib-upper", "/var/lib", var_lib);
    for (const std::string &path : var_lib) {
        if (path == "/var/lib/korvex")
            continue;
        if (puppet_ran && path.starts_with("/var/lib/puppet/"))
            continue;
        found.push_back(path);
    }
    for (const std::string &name : sorted_entries(root / "host/keys"))
        if (name != "sysconfig-keys")
            found.push_back("/var/lib/korvex/" + name);
    return found;
}

} // namespace korvex::test
