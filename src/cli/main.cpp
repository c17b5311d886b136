#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "cli/cli.h"

#ifdef EFIS_WITH_VIRTUAL_UNIT
#include "cli/sim_unit.h"
#endif

#ifdef _WIN32
// The progress line redraws itself with "\r\033[K", which a Windows console obeys only once asked
// to; one that cannot be asked (before Windows 10) gets progress line by line, as a pipe does.
static bool console_takes_escapes(FILE* stream)
{
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return GetConsoleMode(h, &mode) != 0 && SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}
#endif

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv, argv + argc);
#ifdef _WIN32
    const bool terminal = _isatty(_fileno(stderr)) != 0 && console_takes_escapes(stderr);
#else
    const bool terminal = isatty(STDERR_FILENO) != 0;
#endif
    const efis_cli::Streams io{std::cout, std::cerr, terminal};
#ifdef EFIS_WITH_VIRTUAL_UNIT
    // No unit needed: virtual ones answer on the USB side, each keeping its state between runs.
    efis_cli::SimUnit unit(std::cerr);
#endif
    return efis_cli::run(args, io);
}
