// Configuration keys name files in the keys folder, so a key must never
// reach outside it. Any text is tried as a key: the checker must agree with
// the key alphabet, and a read or a write of any key may only touch the
// file of that name inside the keys folder.
#include "fuzz_support.h"

#include <korvex/kcommon.h>
#include <sysconfig_internal.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

namespace {

namespace fs = std::filesystem;
using korvex::fuzz::require;

constexpr std::string_view key_alphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-.";

struct KeysFolder {
    korvex::fuzz::ScratchDir root{"kx-fuzz-keys"};
    fs::path keys = root.path() / "keys";
    fs::path outside = root.path() / "outside";

    KeysFolder() {
        fs::create_directory(keys);
        // Files a key must never reach: one beside the keys folder and
        // one named like a key in the folder above.
        write(outside, "outside the keys folder");
        write(root.path() / "probe", "outside the keys folder");
        write(keys / "probe", "inside:probe");
        write(keys / "a.b", "inside:a.b");
        kx_sysconfig_keys_dir_set((keys.string() + "/").c_str());
    }

    static void write(const fs::path &file, const std::string &text) {
        std::ofstream(file, std::ios::binary) << text;
    }
};

std::unique_ptr<KeysFolder> folder;

std::optional<std::string> read_whole(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool alphabet_accepts(std::string_view key) {
    return !key.empty() && key.front() != '.' && key.size() <= NAME_MAX &&
           key.find_first_not_of(key_alphabet) == std::string_view::npos;
}

size_t entries_in(const fs::path &dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator(dir))
        ++n;
    return n;
}

struct MallocText {
    char *text;
    ~MallocText() { free(text); }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Refusals are logged at error level; the log is not under test here.
    kx_log_level = 0;
    folder = std::make_unique<KeysFolder>();
    std::atexit([] { folder.reset(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string key = korvex::fuzz::split_at_nul(data, size, 1)[0];
    const bool accepted = check_key_sanity(key.c_str()) == 0;

    require(accepted == alphabet_accepts(key), "key checker disagrees with the key alphabet", key);
    if (accepted) {
        require(key.find('/') == std::string::npos, "accepted key holds a slash", key);
        require(key.front() != '.', "accepted key starts with a dot", key);
    }

    const fs::path own_file = folder->keys / key;
    {
        MallocText status{kx_sysconfig_is_configured(key.c_str())};
        if (status.text != nullptr) {
            require(accepted, "status read for a refused key", key);
            std::optional<std::string> expected = read_whole(own_file);
            require(expected && *expected == status.text, "status is not the key's own file", key);
            require(status.text == "inside:" + key,
                    "status read from a file the test did not place in the keys folder", key);
        }
    }

    const size_t beside_before = entries_in(folder->root.path());
    const size_t keys_before = entries_in(folder->keys);
    const uint32_t stored = set_key(key.c_str(), "written by the fuzzer");
    if (stored == KX_RES_OK) {
        require(accepted, "status written for a refused key", key);
        require(read_whole(own_file) == std::optional<std::string>("written by the fuzzer"),
                "status not written to the key's own file", key);
        // Leave the folder as it was: the placed keys get their text back,
        // new ones go.
        if (key == "probe" || key == "a.b")
            KeysFolder::write(own_file, "inside:" + key);
        else
            fs::remove(own_file);
    } else {
        // Every accepted key fits a file name, so its status can be stored.
        require(!accepted, "an accepted key could not be stored", key);
        require(stored == KX_RES_BAD_ARGUMENT, "a refused key was not answered as a bad argument",
                key);
    }
    require(entries_in(folder->root.path()) == beside_before,
            "a write landed outside the keys folder", key);
    require(entries_in(folder->keys) == keys_before, "a write left a stray file in the keys folder",
            key);
    return 0;
}
