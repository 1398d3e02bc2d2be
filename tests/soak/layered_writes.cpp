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

// Every file, link and empty folder below root, as "prefix/relative".
static void collect_leaves(const fs::path &root, const std::string &prefix,
                           std::vector<std::string> &out) {
    if (!fs::is_directory(root))
        return;
    for (const auto &entry : fs::recursive_directory_iterator(root))
        if (!entry.is_directory() || entry.is_symlink() || fs::is_empty(entry.path()))
            out.push_back(prefix + "/" + fs::relative(entry.path(), root).string());
}

std::vector<std::string> layered_writes(const std::string &state, bool puppet_ran) {
    const fs::path root(state);
    std::vector<std::string> found;
    for (const std::string &layer : sorted_entries(root / "upper"))
        collect_leaves(root / "upper" / layer, "/" + layer, found);
    collect_leaves(root / "host/etc-upper", "/etc", found);
    std::vector<std::string> var_lib;
    collect_leaves(root / "host/var-lib-upper", "/var/lib", var_lib);
    for (const std::string &path : var_lib)
        if (path != "/var/lib/korvex" && !(puppet_ran && path.starts_with("/var/lib/puppet/")))
            found.push_back(path);
    for (const std::string &name : sorted_entries(root / "host/keys"))
        if (name != "sysconfig-keys")
            found.push_back("/var/lib/korvex/" + name);
    return found;
}

} // namespace korvex::test
