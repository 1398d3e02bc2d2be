// sysconfig-augeas-preview: runs the augeas script on its standard input
// as the agent's runs do (the whole tree loaded from "/") and prints a
// unified diff of every file the script would save, labelled with the
// file's path. Exit status: 0 nothing would change, 1 something would,
// 2 the script failed, 3 no preview could be made; what went wrong is
// printed on standard output, which the agent hands to its caller.
//
// Nothing may change, not even for a moment: a script can switch augeas
// to saving for real, and augeas's own dry run ("noop") still writes a
// temporary file beside each file it checks, which a kill at the wrong
// moment would leave behind. So it runs only in the preview sandbox
// (sysconfig-preview-sandbox), where every mount is read-only, and refuses
// to start anywhere "/" can be written. The script's own "save" commands
// would fail there; they are left out, and one dry run after the script
// finds what it would save: each such file fails to get its temporary file
// and says so in its /augeas/files error node (a file the script removed
// is listed as saved, removal needing no temporary file). The new texts
// are made in memory by the files' lenses and compared by diff on files in
// memory as well.
#include <augeas.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include <korvex/owners.h>

#include "augeas_errors.h"
#include "augeas_handle.h"
#include "whole_io.h"

namespace {

constexpr int exit_no_changes = 0;
constexpr int exit_changes = 1;
constexpr int exit_script_failed = 2;
constexpr int exit_no_preview = 3;

// aug_srun's value for a script that stopped at "quit".
constexpr int srun_quit = -2;

constexpr char text_in[] = "/korvex-preview/in";
constexpr char text_out[] = "/korvex-preview/out";

using korvex::FilePtr;
using korvex::MallocCharPtr;
using korvex::UniqueFd;
using korvex::sysconfig::augeas_error_entries;
using korvex::sysconfig::augeas_error_lines;
using korvex::sysconfig::augeas_failure;
using korvex::sysconfig::AugeasPtr;
using korvex::sysconfig::read_up_to;
using korvex::sysconfig::write_all;

// The paths augeas returns from a match, released with it.
class Matches {
public:
    Matches(augeas *aug, const char *expression) {
        count_ = aug_match(aug, expression, &paths_);
        if (count_ < 0)
            count_ = 0;
    }
    Matches(const Matches &) = delete;
    Matches &operator=(const Matches &) = delete;
    ~Matches() {
        for (int i = 0; i < count_; ++i)
            free(paths_[i]);
        free(paths_);
    }
    int size() const noexcept { return count_; }
    const char *operator[](int i) const noexcept { return paths_[i]; }

private:
    char **paths_ = nullptr;
    int count_ = 0;
};

// See the end of main.
augeas *volatile held_to_the_end = nullptr;

int say(int status, const std::string &text) {
    fputs(text.c_str(), stdout);
    fflush(stdout);
    return status;
}

// The script line by line as aug_srun takes it, without its "save"
// commands. srun's value for the first failing line, or 0.
int run_script(augeas *aug, const std::string &script, FILE *out) {
    for (size_t start = 0; start < script.size();) {
        size_t end = script.find('\n', start);
        if (end == std::string::npos)
            end = script.size();
        const std::string line = script.substr(start, end - start);
        start = end + 1;
        const size_t word = line.find_first_not_of(" \t");
        if (word != std::string::npos && line.compare(word, 4, "save") == 0 &&
            (line.size() == word + 4 || strchr(" \t\r", line[word + 4]) != nullptr))
            continue;
        const int status = aug_srun(aug, out, line.c_str());
        if (status == srun_quit)
            return 0;
        if (status < 0)
            return status;
    }
    return 0;
}

std::map<std::string, std::string> error_nodes(augeas *aug) {
    std::map<std::string, std::string> errors;
    Matches found(aug, "/augeas/files//error");
    for (int i = 0; i < found.size(); ++i) {
        const char *value = nullptr;
        aug_get(aug, found[i], &value);
        errors[found[i]] = value != nullptr ? value : "";
    }
    return errors;
}

// The tree paths ("/files/...") of the files the script would save.
std::set<std::string> files_to_save(augeas *aug) {
    const std::map<std::string, std::string> before = error_nodes(aug);
    aug_set(aug, "/augeas/save", "noop");
    aug_save(aug);
    std::set<std::string> files;
    for (const auto &[node, value] : error_nodes(aug)) {
        auto known = before.find(node);
        if (known != before.end() && known->second == value)
            continue;
        const std::string info = node.substr(0, node.size() - std::string_view{"/error"}.size());
        const char *path = nullptr;
        if (aug_get(aug, (info + "/path").c_str(), &path) == 1 && path != nullptr)
            files.insert(path);
    }
    Matches saved(aug, "/augeas/events/saved");
    for (int i = 0; i < saved.size(); ++i) {
        const char *path = nullptr;
        if (aug_get(aug, saved[i], &path) == 1 && path != nullptr)
            files.insert(path);
    }
    return files;
}

// The file's text as the lens writes its tree now; empty when the script
// removed the file. False (after saying why) when the lens cannot write it.
bool new_text(augeas *aug, const std::string &tree_path, const std::string &old_text,
              std::string &text) {
    text.clear();
    if (aug_match(aug, tree_path.c_str(), nullptr) <= 0)
        return true;
    const char *lens = nullptr;
    aug_get(aug, ("/augeas" + tree_path + "/lens").c_str(), &lens);
    if (lens == nullptr) {
        say(0, tree_path + ": no lens\n");
        return false;
    }
    // "@Module" names the lens a module loads by itself.
    const std::string lens_name = lens[0] == '@' ? std::string{lens + 1} + ".lns" : lens;
    const char *value = nullptr;
    if (aug_set(aug, text_in, old_text.c_str()) != 0 ||
        aug_text_retrieve(aug, lens_name.c_str(), text_in, tree_path.c_str(), text_out) != 0 ||
        aug_get(aug, text_out, &value) != 1) {
        // The lens records why it cannot write the tree as a save would,
        // but under /augeas/text: the same entry a failed save stores.
        std::string why = augeas_error_lines(aug);
        why += augeas_error_entries(aug, "/augeas/text//error");
        say(0, why.empty() ? tree_path + ": the lens cannot write this tree\n" : why);
        return false;
    }
    text = value != nullptr ? value : "";
    return true;
}

// A file in memory that the diff program reads through /dev/fd.
int memory_file(std::string_view text) {
    const int fd = memfd_create("preview", 0);
    if (fd >= 0 && !write_all(fd, text)) {
        close(fd);
        return -1;
    }
    return fd;
}

// diff's exit status: 0 same, 1 different, other trouble.
int show_diff(const std::string &path, const std::string &old_text, const std::string &text) {
    UniqueFd before{memory_file(old_text)};
    UniqueFd after{memory_file(text)};
    if (before.get() < 0 || after.get() < 0)
        return 2;
    const std::string before_name = "/dev/fd/" + std::to_string(before.get());
    const std::string after_name = "/dev/fd/" + std::to_string(after.get());
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("diff", "diff", "-u", "--label", path.c_str(), "--label", path.c_str(),
               before_name.c_str(), after_name.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    pid_t reaped = -1;
    while (pid > 0 && (reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    return pid > 0 && reaped == pid && WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

} // namespace

int main() {
    std::string script;
    if (!read_up_to(STDIN_FILENO, script))
        return say(exit_no_preview, std::string{"reading the script: "} + strerror(errno) + "\n");
    if (struct statvfs root; statvfs("/", &root) != 0 || (root.f_flag & ST_RDONLY) == 0)
        return say(exit_no_preview, "not in the preview sandbox: \"/\" is writable\n");

    AugeasPtr aug{aug_init("", "", AUG_SAVE_NOOP)};
    if (!aug)
        return say(exit_no_preview, "Unable to initialize augeas\n");

    // What the script prints is kept for the failure's report only.
    char *printed_text = nullptr;
    size_t printed_size = 0;
    FilePtr printed{open_memstream(&printed_text, &printed_size)};
    if (!printed)
        return say(exit_no_preview, "Unable to keep the script's output\n");
    const int status = run_script(aug.get(), script, printed.get());
    printed.reset();
    MallocCharPtr printed_owner{printed_text};
    if (status < 0) {
        // As a run records it: the output, then augeas's reason.
        std::string report =
            "FAILED\n" + std::to_string(status) + "\n" + std::string{printed_text, printed_size};
        if (!report.ends_with('\n'))
            report += '\n';
        return say(exit_script_failed, report + augeas_failure(aug.get()));
    }

    bool changes = false;
    for (const std::string &tree_path : files_to_save(aug.get())) {
        const std::string path = tree_path.substr(std::string_view{"/files"}.size());
        std::string old_text;
        if (UniqueFd file{open(path.c_str(), O_RDONLY | O_CLOEXEC)}; file.get() >= 0)
            read_up_to(file.get(), old_text);
        std::string text;
        if (!new_text(aug.get(), tree_path, old_text, text))
            return exit_script_failed;
        const int diff = show_diff(path, old_text, text);
        if (diff > 1)
            return say(exit_no_preview, "diff failed on " + path + "\n");
        changes = changes || diff == 1;
    }
    // The tree goes with the process: freeing it node by node took a tenth
    // of a preview's time. Kept where leak checkers see it is still held.
    held_to_the_end = aug.release();
    return changes ? exit_changes : exit_no_changes;
}
