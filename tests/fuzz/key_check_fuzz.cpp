// Keys name files in the keys folder: a read or a write of any text as a key
// may only touch the file of that name inside it. The alphabet itself is the
// unit tests' business.
#include "fuzz_support.h"
#include "temp_dir.h"

#include <korvex/kcommon.h>
#include <sysconfig_internal.h>

#include <climits>
#include <filesystem>
#include <memory>

namespace {

namespace fs = std::filesystem;
using korvex::test::read_file;
using korvex::test::write_file;

std::unique_ptr<korvex::test::TempDir> root;
std::string keys;

size_t entries_in(const std::string &dir) {
    return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Refusals are logged at error level; the log is not under test here.
    kx_log_level = 0;
    root = std::make_unique<korvex::test::TempDir>("kx-fuzz-keys");
    keys = root->file("keys");
    fs::create_directory(keys);
    // Files a key must never reach: one beside the keys folder and one
    // named like a key in the folder above.
    write_file(root->file("outside"), "outside the keys folder");
    write_file(root->file("probe"), "outside the keys folder");
    write_file(keys + "/probe", "inside:probe");
    write_file(keys + "/a.b", "inside:a.b");
    kx_sysconfig_keys_dir_set((keys + "/").c_str());
    std::atexit([] { root.reset(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string key = split_at_nul(data, size, 1)[0];
    const bool accepted = check_key_sanity(key.c_str()) == 0;
    if (accepted)
        require(key.find('/') == std::string::npos && key.front() != '.' && key.size() <= NAME_MAX,
                "accepted key could leave the keys folder", key);

    const std::string own_file = keys + "/" + key;
    const std::unique_ptr<char, decltype(&free)> status(kx_sysconfig_is_configured(key.c_str()),
                                                        free);
    if (status != nullptr) {
        require(accepted, "status read for a refused key", key);
        require(read_file(own_file) == status.get(), "status is not the key's own file", key);
        require(status.get() == "inside:" + key,
                "status read from a file the test did not place in the keys folder", key);
    }

    const size_t beside_before = entries_in(root->path());
    const size_t keys_before = entries_in(keys);
    const uint32_t stored = set_key(key.c_str(), "written by the fuzzer");
    if (stored == KX_RES_OK) {
        require(accepted, "status written for a refused key", key);
        require(read_file(own_file) == "written by the fuzzer",
                "status not written to the key's own file", key);
        // Leave the folder as it was: the placed keys get their text back,
        // new ones go.
        if (key == "probe" || key == "a.b")
            write_file(own_file, "inside:" + key);
        else
            fs::remove(own_file);
    } else {
        // Every accepted key fits a file name, so its status can be stored.
        require(!accepted, "an accepted key could not be stored", key);
        require(stored == KX_RES_BAD_ARGUMENT, "a refused key was not answered as a bad argument",
                key);
    }
    require(entries_in(root->path()) == beside_before, "a write landed outside the keys folder",
            key);
    require(entries_in(keys) == keys_before, "a write left a stray file in the keys folder", key);
    return 0;
}
