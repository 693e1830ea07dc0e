// ampwarden-smc-emulator: an emulated SMC on a Unix socket, for the helper, ampwarden-smc and
// the tests.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "BuildInfo.h"
#include "emulator/KeyTableFile.h"
#include "emulator/SmcEmulator.h"
#include "platform/linux/EmulatorSmcServer.h"
#include "platform/linux/EmulatorSmcService.h"
#include "platform/linux/UniqueFd.h"

using namespace ampwarden;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kHelp =
    R"(Usage: ampwarden-smc-emulator [--socket PATH] [--keys FILE] [--print-keys]

Serves an emulated SMC on a Unix socket: a two-fan Intel laptop, or the keys of FILE.
Prints one line when it is ready, then one line for every key written:
    write KEY HEXBYTES
Any number of clients may be connected at once. SIGTERM or SIGINT ends it; it removes
its socket and exits 0.

Options:
  --socket PATH   where to serve (default: $LUMORA_SMC_EMULATOR, else
                  /run/lumora/smc-emulator.sock); a missing folder is created
  --keys FILE     take the key table from FILE instead of the built-in laptop
  --print-keys    print the key table (the built-in one, or FILE's) and exit;
                  a good start for a FILE of your own
  -h, --help      show this text
  --version       the version and build number

Key table FILE, one key per line:
    KEY TYPE SIZE HEXBYTES [ro]
  KEY and TYPE have four characters. One that ends in blanks is written in double
  quotes ("FS! ", "ui8 ") or simply shorter (FS!, ui8): blanks are added up to four.
  SIZE is 0 to 32, HEXBYTES exactly SIZE bytes in hex ("-" for none), "ro" makes
  the key read-only. Keys are listed by index in file order; without a "#KEY" line
  one holding the key count is put first. Lines starting with "# " are comments.
Example:
    BCLM ui8  1 64
    "FS! " ui16 2 0000
    F0Tg fpe2 2 1f40
    TB0T sp78 2 1e40 ro

Exit status: 0 stopped by a signal, 1 cannot serve or bad FILE, 2 bad usage.
)";

struct Options {
    std::string socketPath = EmulatorSmcService::defaultSocketPath();
    std::optional<std::string> keysFile;
    bool printKeys = false;
    bool help = false;
    bool version = false;
};

// Options from the arguments; none (with `error`) on a usage error.
std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error) {
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool takesValue = arg == "--socket" || arg == "--keys";
        if (takesValue && i + 1 == args.size()) {
            error = arg + " needs a value";
            return std::nullopt;
        }
        if (arg == "--socket") {
            options.socketPath = args[++i];
        } else if (arg == "--keys") {
            options.keysFile = args[++i];
        } else if (arg == "--print-keys") {
            options.printKeys = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else {
            error = "unknown argument: " + arg;
            return std::nullopt;
        }
    }
    return options;
}

// Far beyond any real SMC's table (a few thousand keys of about 30 characters each).
constexpr std::size_t kMaxKeysFileBytes = 1 << 20;

// The whole of a regular file of at most kMaxKeysFileBytes; none with `error` set.
std::optional<std::string> readKeysFile(const std::string& path, std::string& error) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (!fd.valid() || fstat(fd.get(), &status) != 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "not a regular file";
        return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxKeysFileBytes) {
            error = "larger than " + std::to_string(kMaxKeysFileBytes) + " bytes";
            return std::nullopt;
        }
    }
}

std::optional<SmcKeyTable> loadTable(const Options& options) {
    if (!options.keysFile) return SmcKeyTable::intelLaptop();
    std::string error;
    std::optional<SmcKeyTable> table;
    if (const auto text = readKeysFile(*options.keysFile, error)) {
        table = KeyTableFile::parse(*text, error);
    }
    if (!table) {
        std::fprintf(stderr, "ampwarden-smc-emulator: %s: %s\n", options.keysFile->c_str(),
                     error.c_str());
    }
    return table;
}

void logWrite(const EmulatedKey& key) {
    std::printf("write %s %s\n", KeyTableFile::field(key.key).c_str(),
                KeyTableFile::hex(key.bytes).c_str());
}

EmulatorSmcServer* runningServer = nullptr;

void stopOnSignal(int) { runningServer->stop(); }

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = stopOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int serve(SmcKeyTable table, const std::string& socketPath) {
    SmcEmulator device(std::move(table));
    device.setWriteObserver(logWrite);
    EmulatorSmcServer server(device, socketPath);
    const std::string error = server.listen();
    if (!error.empty()) {
        std::fprintf(stderr, "ampwarden-smc-emulator: %s\n", error.c_str());
        return kExitFailed;
    }
    runningServer = &server;
    installSignalHandlers();
    std::printf("ampwarden-smc-emulator: serving %zu keys on %s\n", device.table().size(),
                socketPath.c_str());
    server.run();
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string error;
    const auto options = parseOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "ampwarden-smc-emulator: %s\nTry --help.\n", error.c_str());
        return kExitUsage;
    }
    if (options->help) {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    if (options->version) {
        std::printf("ampwarden-smc-emulator %s (build %s)\n", build::kShortVersion,
                    build::kBuildNumber);
        return kExitOk;
    }
    auto table = loadTable(*options);
    if (!table) return kExitFailed;
    if (options->printKeys) {
        std::fputs(KeyTableFile::format(*table).c_str(), stdout);
        return kExitOk;
    }
    return serve(std::move(*table), options->socketPath);
}
