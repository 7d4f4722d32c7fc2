// tarvos: measures the library against the platform's own read paths (bench), streams files through a
// cache (cat) and copies files with asynchronous cached reads and direct writes (cp).
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "ToolCommon.h"

namespace {

const char* const kUsage =
    "usage: tarvos COMMAND [OPTIONS] [ARGS]\n"
    "\n"
    "Commands:\n"
    "  bench [FILE]    measure the library against pread and io_uring (on a sample file if none given)\n"
    "  cat FILE...     write files to standard output through a cache with pre-reads\n"
    "  cp SRC DST      copy a file with asynchronous cached reads and asynchronous direct writes\n"
    "\n"
    "Run 'tarvos COMMAND --help' for a command's options.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    try {
        if (command == "bench") {
            return TarvosTool::RunBench(argc - 1, argv + 1);
        }
        if (command == "cat") {
            return TarvosTool::RunCat(argc - 1, argv + 1);
        }
        if (command == "cp") {
            return TarvosTool::RunCp(argc - 1, argv + 1);
        }
        std::fprintf(stderr, "tarvos: unknown command '%s' (try 'tarvos --help')\n", command.c_str());
        return 2;
    } catch (const TarvosTool::ToolError& error) {
        std::fprintf(stderr, "tarvos %s: %s\n", command.c_str(), error.message.c_str());
    } catch (const char* message) {
        std::fprintf(stderr, "tarvos %s: %s\n", command.c_str(), message);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tarvos %s: %s\n", command.c_str(), error.what());
    }
    return 1;
}
