#include "commands.h"

namespace korvex::ctl {

std::vector<std::string> operands(const CommandLine &line, size_t skip,
                                  const std::vector<std::string> &names,
                                  const std::string &help_topic) {
    const size_t given = line.words.size() > skip ? line.words.size() - skip : 0;
    if (given < names.size())
        throw UsageError("missing " + names[given], help_topic);
    if (given > names.size())
        throw UsageError("unexpected argument \"" + line.words[skip + names.size()] + "\"",
                         help_topic);
    return {line.words.begin() + static_cast<std::ptrdiff_t>(skip), line.words.end()};
}

} // namespace korvex::ctl
