// Running efis-cli in the test's own process, its two streams kept apart.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace cli_test {

struct Result {
    int status;
    std::string out;
    std::string err;
};

// `args` without the program's name.
inline Result cli(std::vector<std::string> args, bool terminal = false)
{
    std::ostringstream out;
    std::ostringstream err;
    args.insert(args.begin(), "efis-cli");
    const int status = efis_cli::run(args, {out, err, terminal});
    return {status, out.str(), err.str()};
}

inline bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace cli_test
