// vornback-cli: the headless tool. Builds sample data trees and runs the archive
// component from the command line. Exit status: 0 success, 1 failure (message on
// stderr), 2 usage.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/errors.h"
#include "sample/sample_tree.h"
#include "startup/launch.h"
#include "store/registers.h"

namespace vornback {
namespace {

constexpr int kOk = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

const char* const kUsageText =
    "usage: vornback-cli <command> [arguments]\n"
    "\n"
    "commands:\n"
    "  make-sample DIR [--firms N] [--years K] [--scale S] [--seed N]\n"
    "      build a sample host data tree at DIR (missing or empty), with the programs\n"
    "      copied into DIR/Bkp\n"
    "  pack SOURCE ARCHIVE [--exclude PATTERN]...\n"
    "      pack the folder SOURCE into a new zip archive\n"
    "  unpack ARCHIVE DEST\n"
    "      unpack an archive below DEST (created when missing)\n"
    "  verify ARCHIVE\n"
    "      read every entry and check its CRC\n";

std::atomic<bool> gCancel{false};

extern "C" void OnSignal(int) {
    gCancel = true;
}

struct Usage {
    std::string message;
};

// Shows one progress line on a terminal, at most ten times a second.
class ProgressLine {
  public:
    explicit ProgressLine(const char* verb) : verb_(verb), enabled_(isatty(STDERR_FILENO) != 0) {}
    ~ProgressLine() { Finish(); }

    ArchiveProgressFn Callback() {
        if (!enabled_) {
            return {};
        }
        return [this](const ArchiveProgress& p) { Show(p); };
    }

    void Finish() {
        if (shown_) {
            std::fputs("\r\033[K", stderr);
            shown_ = false;
        }
    }

  private:
    void Show(const ArchiveProgress& p) {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(100) && p.filesDone != p.filesTotal) {
            return;
        }
        last_ = now;
        const double percent = p.bytesTotal == 0 ? 100.0
                                                 : 100.0 * static_cast<double>(p.bytesDone) /
                                                       static_cast<double>(p.bytesTotal);
        std::string name = p.currentName;
        if (name.size() > 40) {
            name = "..." + name.substr(name.size() - 37);
        }
        std::fprintf(stderr, "\r\033[K%s %5.1f%%  %llu/%llu files  %s", verb_, percent,
                     static_cast<unsigned long long>(p.filesDone),
                     static_cast<unsigned long long>(p.filesTotal), name.c_str());
        std::fflush(stderr);
        shown_ = true;
    }

    const char* verb_;
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_{};
};

long long NumberOption(const std::string& name, const std::string& text, long long lo,
                       long long hi) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) {
        throw Usage{name + " wants a whole number from " + std::to_string(lo) + " to " +
                    std::to_string(hi) + ", not \"" + text + "\""};
    }
    return v;
}

// The programs that make the sample tree runnable: this tool and, when built beside it,
// the window program.
std::vector<std::string> ProgramFiles() {
    std::vector<std::string> files;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return files;
    }
    files.push_back(self.string());
    const auto window = self.parent_path().parent_path() / "app" / "vornback";
    const auto beside = self.parent_path() / "vornback";
    for (const auto& candidate : {beside, window}) {
        if (std::filesystem::is_regular_file(candidate, ec)) {
            files.push_back(candidate.string());
            break;
        }
    }
    return files;
}

int MakeSample(const std::vector<std::string>& args) {
    if (args.empty()) {
        throw Usage{"make-sample needs a folder"};
    }
    SampleOptions options;
    std::string dir;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) {
                throw Usage{a + " needs a value"};
            }
            return args[++i];
        };
        if (a == "--firms") {
            options.firms = static_cast<int>(NumberOption(a, value(), 1, 1000));
        } else if (a == "--years") {
            options.years = static_cast<int>(NumberOption(a, value(), 0, 50));
        } else if (a == "--scale") {
            const std::string& v = value();
            char* end = nullptr;
            options.scale = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(options.scale > 0) || options.scale > 10000) {
                throw Usage{"--scale wants a number above 0, not \"" + v + "\""};
            }
        } else if (a == "--seed") {
            options.seed = static_cast<uint64_t>(NumberOption(a, value(), 0, INT64_MAX));
        } else if (!a.empty() && a[0] == '-') {
            throw Usage{"unknown option " + a};
        } else if (dir.empty()) {
            dir = a;
        } else {
            throw Usage{"make-sample takes one folder"};
        }
    }
    if (dir.empty()) {
        throw Usage{"make-sample needs a folder"};
    }
    options.programFiles = ProgramFiles();
    const std::string programFolder = MakeSampleTree(dir, options);
    std::cout << "sample data tree at " << dir << ", program folder " << programFolder << "\n";
    return kOk;
}

int Pack(const std::vector<std::string>& args) {
    PackOptions options;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--exclude") {
            if (i + 1 >= args.size()) {
                throw Usage{"--exclude needs a pattern"};
            }
            options.excludePatterns.push_back(args[++i]);
        } else if (!args[i].empty() && args[i][0] == '-') {
            throw Usage{"unknown option " + args[i]};
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 2) {
        throw Usage{"pack needs SOURCE and ARCHIVE"};
    }
    ProgressLine line("packing");
    options.progress = line.Callback();
    options.cancel = &gCancel;
    const PackSummary summary = PackFolder(positional[0], positional[1], options);
    line.Finish();
    for (const std::string& link : summary.skippedLinks) {
        std::cerr << "vornback-cli: " << link << " is a link and was not packed\n";
    }
    return kOk;
}

int Unpack(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        throw Usage{"unpack needs ARCHIVE and DEST"};
    }
    ProgressLine line("unpacking");
    UnpackOptions options;
    options.progress = line.Callback();
    options.cancel = &gCancel;
    try {
        // All or nothing: a failed or cancelled unpack leaves nothing at DEST.
        UnpackArchiveWhole(args[0], args[1], options);
    } catch (const ArchiveCancelled&) {
        throw;
    } catch (const Error& e) {
        throw Error(std::string(e.what()) + " (nothing was unpacked into " + args[1] + ")");
    }
    line.Finish();
    return kOk;
}

int Verify(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        throw Usage{"verify needs ARCHIVE"};
    }
    ProgressLine line("verifying");
    UnpackOptions options;
    options.progress = line.Callback();
    options.cancel = &gCancel;
    VerifyArchive(args[0], options);
    line.Finish();
    const auto entries = ListArchive(args[0]);
    std::cout << args[0] << ": " << entries.size() << " entries, all CRCs correct\n";
    return kOk;
}

int Run(int argc, char** argv) {
    if (argc < 2) {
        throw Usage{"no command given"};
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsageText;
        return kOk;
    }
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (!CipherAvailable()) {
        throw Error(
            "the database library has no encryption support; refusing to work on "
            "password-protected registers");
    }
    if (command == "make-sample") {
        return MakeSample(args);
    }
    if (command == "pack") {
        return Pack(args);
    }
    if (command == "unpack") {
        return Unpack(args);
    }
    if (command == "verify") {
        return Verify(args);
    }
    throw Usage{"unknown command \"" + command + "\""};
}

}  // namespace
}  // namespace vornback

int main(int argc, char** argv) {
    std::signal(SIGINT, vornback::OnSignal);
    std::signal(SIGTERM, vornback::OnSignal);
    try {
        return vornback::Run(argc, argv);
    } catch (const vornback::Usage& u) {
        std::cerr << "vornback-cli: " << u.message << "\n\n" << vornback::kUsageText;
        return vornback::kUsage;
    } catch (const vornback::ArchiveCancelled&) {
        std::cerr << "vornback-cli: cancelled; nothing was left half-written\n";
        return vornback::kFailure;
    } catch (const std::exception& e) {
        std::cerr << "vornback-cli: " << e.what() << "\n";
        return vornback::kFailure;
    }
}
