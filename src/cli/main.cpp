#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "cli/cli.h"

#ifdef EFIS_WITH_VIRTUAL_UNIT
#include "cli/sim_unit.h"
#endif

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv, argv + argc);
#ifdef _WIN32
    const bool terminal = _isatty(_fileno(stderr)) != 0;
#else
    const bool terminal = isatty(STDERR_FILENO) != 0;
#endif
    const efis_cli::Streams io{std::cout, std::cerr, terminal};
#ifdef EFIS_WITH_VIRTUAL_UNIT
    // No unit needed: a virtual one answers on the USB side, its settings kept between runs.
    efis_cli::SimUnit unit(std::cerr);
#endif
    return efis_cli::run(args, io);
}
