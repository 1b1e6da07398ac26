#include "common.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "base/errors.h"
#include "startup/launch.h"

namespace vornback {

std::atomic<bool> gCancel{false};

bool ParsedArgs::Has(const std::string& option) const {
    return values.count(option) != 0 ||
           std::find(flags.begin(), flags.end(), option) != flags.end();
}

std::string ParsedArgs::Value(const std::string& option, const std::string& fallback) const {
    const auto it = values.find(option);
    return it == values.end() ? fallback : it->second;
}

ParsedArgs ParseArgs(const std::vector<std::string>& args,
                     const std::vector<std::string>& valueOptions,
                     const std::vector<std::string>& flagOptions) {
    auto known = [](const std::vector<std::string>& list, const std::string& name) {
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    ParsedArgs parsed;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 2 || a[0] != '-') {
            parsed.positional.push_back(a);
            continue;
        }
        if (parsed.Has(a)) {
            throw Usage{a + " is given twice"};
        }
        if (known(valueOptions, a)) {
            if (i + 1 >= args.size()) {
                throw Usage{a + " needs a value"};
            }
            parsed.values[a] = args[++i];
        } else if (known(flagOptions, a)) {
            parsed.flags.push_back(a);
        } else {
            throw Usage{"unknown option " + a};
        }
    }
    return parsed;
}

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

std::string ProgramFolderOption(const ParsedArgs& args) {
    if (!args.Has("--program-folder")) {
        return RunningProgramFolder();
    }
    const std::string given = args.Value("--program-folder");
    std::error_code error;
    std::filesystem::path folder = std::filesystem::absolute(given, error).lexically_normal();
    if (error || given.empty() || !std::filesystem::is_directory(folder, error)) {
        throw Error("The program folder \"" + given +
                    "\" does not exist; give the Bkp folder of the host's data tree.");
    }
    std::string text = folder.string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

ProgressLine::ProgressLine(const char* verb)
    : verb_(verb), enabled_(isatty(STDERR_FILENO) != 0), start_(std::chrono::steady_clock::now()) {}

ArchiveProgressFn ProgressLine::Callback() {
    if (!enabled_) {
        return {};
    }
    return [this](const ArchiveProgress& p) { Show(p); };
}

void ProgressLine::Show(const ArchiveProgress& p) {
    if (!enabled_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    // A backup copies, packs and checks in turn, each counting from 0: the rate of each
    // step counts from its own start.
    if (p.bytesDone < lastDone_) {
        start_ = now;
    }
    lastDone_ = p.bytesDone;
    if (now - last_ < std::chrono::milliseconds(100) && p.filesDone != p.filesTotal) {
        return;
    }
    last_ = now;
    constexpr double kMegabyte = 1048576.0;
    const double done = static_cast<double>(p.bytesDone);
    const double total = static_cast<double>(p.bytesTotal);
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? done / seconds : 0;
    char left[32] = "";
    if (rate > 0 && total >= done) {
        const long long remaining = static_cast<long long>((total - done) / rate + 0.5);
        std::snprintf(left, sizeof left, "  %lld:%02lld left", remaining / 60, remaining % 60);
    }
    std::fprintf(stderr, "\r\033[K%s %5.1f%%  %.1f/%.1f MB  %.1f MB/s%s", verb_,
                 total == 0 ? 100.0 : 100.0 * done / total, done / kMegabyte, total / kMegabyte,
                 rate / kMegabyte, left);
    std::fflush(stderr);
    shown_ = true;
}

void ProgressLine::Finish() {
    if (shown_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        shown_ = false;
    }
}

}  // namespace vornback
