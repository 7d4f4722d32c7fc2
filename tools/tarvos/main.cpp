// tarvos: measures the library against the platform's own read paths (bench), streams files through a
// cache (cat) and copies files with asynchronous cached reads and direct writes (cp). Exit status: 0
// done, 1 failed, 2 the command line cannot be used.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "Tarvos/Version.h"
#include "ToolCommon.h"

namespace {

const char* const kUsage =
    "usage: tarvos COMMAND [OPTIONS] [ARGS]\n"
    "       tarvos --version\n"
    "\n"
    "Commands:\n"
    "  bench [FILE]    measure the library against pread and io_uring (on a sample file if none given)\n"
    "  cat [FILE]...   write files (or standard input) to standard output through a cache with pre-reads\n"
    "  cp SRC DST      copy a file with asynchronous cached reads and asynchronous direct writes\n"
    "\n"
    "Run 'tarvos COMMAND --help' for a command's options. Exit status: 0 done, 1 failed, 2 usage error.\n";

const char* const kBenchUsage =
    "usage: tarvos bench [--quick] [--streams] [--json] [--repeat N] [--size SIZE] [--only NAME]\n"
    "                    [--large-cache-blocks N] [--streams-load SHARE] [FILE]\n"
    "Measures uncached reads through the library's I/O engine, cached cold and warm reads and a\n"
    "pre-read stream, against buffered pread, direct-I/O pread and a plain io_uring loop on the same\n"
    "file and block sizes, then the streams: eight readers at fixed rates with deadlines and one random\n"
    "reader, read three ways (the library, a deadline-ordered io_uring loop, buffered pread).\n"
    "Higher MB/s is better; a ratio is the library's MB/s divided by its baseline's. Without FILE it\n"
    "writes a sample file (default 2 GiB, 128 MiB with --quick) in $TMPDIR (or /var/tmp) and removes\n"
    "it afterwards, also when it fails or is interrupted. Every byte read is verified.\n"
    "  --quick       short phases, short streams and a smaller sample: well under a minute\n"
    "  --streams     only the streams (and the sequential baseline their rates are a share of)\n"
    "  --json        print the results as one JSON object instead of the table\n"
    "  --repeat N    run every phase N times; report the median and the spread (min, max)\n"
    "  --size SIZE   sample file size (e.g. 256M, 1G); at least 64M\n"
    "  --only NAME   run only the phases whose names start with NAME (e.g. cached-warm; streams:\n"
    "                the streams)\n"
    "  --large-cache-blocks N\n"
    "                blocks of 4 KiB in the large-cache phase (default 262144, 1 GiB); its name\n"
    "                carries the count: cached-warm-4k-N-blocks\n"
    "  --streams-load SHARE\n"
    "                the streams' readers together consume this share of the sequential baseline's\n"
    "                rate (default 0.6; near 1 they ask for about what the device delivers)\n";

const char* const kCatUsage =
    "usage: tarvos cat [--progress|--no-progress] [--] [FILE]...\n"
    "Writes each FILE to standard output; '-' or no FILE is standard input. Regular files are read\n"
    "through a 16 MiB block cache with pre-reads ahead of the reader (direct I/O where the file system\n"
    "takes it), to their end whatever their size claimed; other files (pipes, devices, /proc) are read\n"
    "directly. A file that fails is reported and the others are still written (exit status 1).\n"
    "  --progress     show bytes, rate and time left on standard error (default: when it is a terminal\n"
    "                 and standard output is not)\n"
    "  --no-progress  never show it\n";

const char* const kCpUsage =
    "usage: tarvos cp [--progress|--no-progress] [--] SRC DST\n"
    "Copies SRC to DST (created with SRC's permissions, or replaced) with asynchronous cached reads and\n"
    "asynchronous direct writes, eight 1 MiB operations in flight. Holes in SRC stay holes in DST. DST may\n"
    "be a directory (the copy gets SRC's name there); '-' as SRC is standard input, as DST standard\n"
    "output. When the copy fails or is interrupted, the partial DST is removed and the reason given.\n"
    "  --progress     show bytes, rate and time left on standard error (default: when it is a terminal)\n"
    "  --no-progress  never show it\n";

void AddProgressFlags(CLI::App* command, int* progress) {
    command->add_flag_callback("--progress", [progress] { *progress = 1; });
    command->add_flag_callback("--no-progress", [progress] { *progress = 0; });
}

}  // namespace

int main(int argc, char** argv) {
    using namespace TarvosTool;
    CLI::App app("tarvos", "tarvos");
    app.require_subcommand(0, 1);
    bool version = false;
    app.add_flag("--version", version);

    BenchOptions bench;
    CLI::App* benchCommand = app.add_subcommand("bench");
    std::string size;
    benchCommand->add_flag("--quick", bench.quick);
    benchCommand->add_flag("--json", bench.json);
    benchCommand->add_flag("--streams", bench.streams);
    benchCommand->add_option("--size", size);
    benchCommand->add_option("--only", bench.only);
    benchCommand->add_option("--repeat", bench.repeat)->check(CLI::Range(1u, 1000u));
    benchCommand->add_option("--large-cache-blocks", bench.largeCacheBlocks)
        ->check(CLI::Range(1024u, 524288u));
    benchCommand->add_option("--streams-load", bench.streamsLoad)->check(CLI::Range(0.05, 2.0));
    benchCommand->add_option("FILE", bench.file);

    CatOptions cat;
    CLI::App* catCommand = app.add_subcommand("cat");
    AddProgressFlags(catCommand, &cat.progress);
    catCommand->add_option("FILE", cat.files);

    CpOptions cp;
    CLI::App* cpCommand = app.add_subcommand("cp");
    AddProgressFlags(cpCommand, &cp.progress);
    cpCommand->add_option("SRC", cp.source)->required();
    cpCommand->add_option("DST", cp.destination)->required();

    auto usageOf = [&](const CLI::App* command) {
        return command == benchCommand ? kBenchUsage
               : command == catCommand ? kCatUsage
               : command == cpCommand  ? kCpUsage
                                       : kUsage;
    };
    const CLI::App* chosen = nullptr;
    std::string name = "tarvos";
    try {
        try {
            app.parse(argc, argv);
        } catch (const CLI::ParseError&) {
            for (const CLI::App* command : {benchCommand, catCommand, cpCommand}) {
                if (command->parsed()) {
                    chosen = command;
                }
            }
            throw;
        }
        for (const CLI::App* command : {benchCommand, catCommand, cpCommand}) {
            if (command->parsed()) {
                chosen = command;
            }
        }
        if (chosen != nullptr) {
            name = "tarvos " + chosen->get_name();
        }
        if (version) {
            std::printf("tarvos %d.%d.%d (library %s)\n", TARVOS_VERSION_MAJOR, TARVOS_VERSION_MINOR,
                        TARVOS_VERSION_PATCH, Tarvos::GetVersion());
            return 0;
        }
        if (chosen == nullptr) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        if (chosen == benchCommand) {
            if (!size.empty() &&
                (!ParseSize(size, &bench.sampleSize) || bench.sampleSize < 64ull * 1024 * 1024)) {
                FailUsage("--size '" + size + "' is not a size of at least 64M");
            }
            return RunBench(bench);
        }
        if (chosen == catCommand) {
            return RunCat(cat);
        }
        return RunCp(cp);
    } catch (const CLI::CallForHelp&) {
        std::fputs(usageOf(chosen), stdout);
        return 0;
    } catch (const CLI::ParseError& error) {
        if (chosen != nullptr) {
            name = "tarvos " + chosen->get_name();
        }
        std::string message = error.what();
        if (chosen == nullptr && argc > 1 && argv[1][0] != '-') {
            message = std::string("unknown command '") + argv[1] + "'";
        }
        std::fprintf(stderr, "%s: %s (try '%s --help')\n", name.c_str(), message.c_str(), name.c_str());
        return 2;
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s: %s (try '%s --help')\n", name.c_str(), error.message.c_str(), name.c_str());
        return 2;
    } catch (const ToolError& error) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), error.message.c_str());
    } catch (const char* message) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), message);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), error.what());
    }
    return 1;
}
