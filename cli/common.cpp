#include "common.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>

#include "base/errors.h"
#include "platform/private_file.h"
#include "startup/launch.h"

namespace vornback {

std::atomic<bool> gCancel{false};

std::string PassphraseOption(const ParsedArgs& parsed) {
    if (!parsed.Has("--passphrase-file")) {
        return "";
    }
    return ReadPrivateFile(parsed.Value("--passphrase-file"), "The passphrase file");
}

std::string ArchiveFailureText(const ArchiveError& e) {
    const auto* passphrase = dynamic_cast<const PassphraseError*>(&e);
    if (passphrase != nullptr && passphrase->Missing()) {
        return std::string(e.what()) +
               " (give it with --passphrase-file FILE, a private file whose first line holds "
               "it)";
    }
    return e.what();
}

bool ParsedArgs::Has(const std::string& option) const {
    return values.count(option) != 0 || lists.count(option) != 0 ||
           std::find(flags.begin(), flags.end(), option) != flags.end();
}

std::string ParsedArgs::Value(const std::string& option, const std::string& fallback) const {
    const auto it = values.find(option);
    return it == values.end() ? fallback : it->second;
}

ParsedArgs ParseArgs(const std::vector<std::string>& args,
                     const std::vector<std::string>& valueOptions,
                     const std::vector<std::string>& flagOptions,
                     const std::vector<std::string>& repeatableOptions) {
    // getopt_long's table: each option's index in names is the value it returns; the
    // short options return their letter.
    std::vector<std::string> names;
    std::vector<int> takesValue;
    for (const auto* list : {&valueOptions, &repeatableOptions, &flagOptions}) {
        for (const std::string& name : *list) {
            names.push_back(name.substr(2));
            takesValue.push_back(list != &flagOptions);
        }
    }
    constexpr int kFirstLong = 256;
    std::vector<option> table;
    for (size_t i = 0; i < names.size(); ++i) {
        table.push_back(option{names[i].c_str(), takesValue[i] ? required_argument : no_argument,
                               nullptr, kFirstLong + static_cast<int>(i)});
    }
    table.push_back(option{"help", no_argument, nullptr, 'h'});
    table.push_back(option{"quiet", no_argument, nullptr, 'q'});
    table.push_back(option{nullptr, 0, nullptr, 0});

    std::vector<std::string> copies{"vornback-cli"};
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : copies) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(copies.size());

    ParsedArgs parsed;
    optind = 0;  // a fresh scan (glibc), also after an earlier command's
    opterr = 0;  // the mistakes are told here, once, in the tool's own words
    int index = -1;
    for (int c; (c = getopt_long(argc, argv.data(), ":hq", table.data(), &index)) != -1;
         index = -1) {
        const std::string given = argv[static_cast<size_t>(optind) - 1];
        if (c == '?') {
            throw Usage{"unknown option " + (optopt != 0 && optopt < kFirstLong
                                                 ? "-" + std::string(1, char(optopt))
                                                 : given.substr(0, given.find('=')))};
        }
        if (c == ':') {
            const std::string name = optopt >= kFirstLong
                                         ? "--" + names[static_cast<size_t>(optopt - kFirstLong)]
                                         : given;
            throw Usage{name + " needs a value"};
        }
        if (c == 'h') {
            throw HelpAsked{};
        }
        const std::string name =
            c == 'q' ? "--quiet" : "--" + names[static_cast<size_t>(c - kFirstLong)];
        const bool repeatable = std::find(repeatableOptions.begin(), repeatableOptions.end(),
                                          name) != repeatableOptions.end();
        if (parsed.Has(name) && !repeatable) {
            throw Usage{name + " is given twice"};
        }
        if (repeatable) {
            parsed.lists[name].push_back(optarg);
        } else if (c != 'q' && takesValue[static_cast<size_t>(c - kFirstLong)]) {
            parsed.values[name] = optarg;
        } else {
            parsed.flags.push_back(name);
        }
    }
    parsed.positional.assign(argv.begin() + optind, argv.begin() + argc);
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

std::string ReadableUtf8(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        // The length the first byte announces, and the smallest code point of that length
        // (so that overlong forms count as invalid).
        const size_t length = c < 0x80                ? 1
                              : c >= 0xC2 && c < 0xE0 ? 2
                              : c >= 0xE0 && c < 0xF0 ? 3
                              : c >= 0xF0 && c < 0xF5 ? 4
                                                      : 0;
        uint32_t code = length == 1   ? c
                        : length == 2 ? c & 0x1Fu
                        : length == 3 ? c & 0x0Fu
                                      : c & 0x07u;
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && code >= kSmallest[length] && code <= 0x10FFFF &&
                (code < 0xD800 || code > 0xDFFF);
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
            ++i;
        }
    }
    return out;
}

Json NumberOrNull(const std::string& text) {
    if (text.empty()) {
        return nullptr;
    }
    if (text.size() < 19 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::stoll(text);
    }
    return ReadableUtf8(text);
}

void PrintJsonArray(const std::vector<Json>& objects) {
    std::cout << "[";
    for (size_t i = 0; i < objects.size(); ++i) {
        std::cout << (i == 0 ? "\n" : ",\n") << objects[i].dump();
    }
    std::cout << "\n]\n";
}

Workplace WorkplaceOption(const ParsedArgs& args, bool sayWhere) {
    const auto given = [&](const char* option) {
        return args.Has(option) ? std::optional<std::string>(args.Value(option)) : std::nullopt;
    };
    Workplace place;
    try {
        place = FindWorkplace(given("--program-folder"), given("--data"), RunningProgramFolder());
    } catch (const NoDataTree& e) {
        throw Usage{e.what()};
    }
    if (sayWhere && !args.Has("--quiet") && !place.stateFolder.empty()) {
        std::cerr << "vornback-cli: " << StateFolderNote(place) << "\n";
    }
    return place;
}

std::string ProgramFolderOption(const ParsedArgs& args) {
    return WorkplaceOption(args, false).programFolder;
}

int ConfigCommand(const std::vector<std::string>& args) {
    const ParsedArgs parsed = ParseArgs(args, {"--data"}, {});
    if (!parsed.positional.empty()) {
        throw Usage{"config takes no " + parsed.positional[0]};
    }
    const std::string file = ConfigFile();
    if (!parsed.Has("--data")) {
        const std::string data = ConfiguredDataTree();
        std::cout << (data.empty() ? "no data tree set" : "data tree " + data) << " (" << file
                  << ")\n";
        return kOk;
    }
    const std::string tree = SaveConfiguredDataTree(parsed.Value("--data"));
    std::cout << "data tree " << tree << " (" << file << ")\n";
    return kOk;
}

ProgressLine::ProgressLine(std::vector<const char*> steps)
    : steps_(std::move(steps)),
      enabled_(isatty(STDERR_FILENO) != 0),
      start_(std::chrono::steady_clock::now()) {}

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
    // Counting from 0 again is the next step, with a rate of its own.
    if (p.bytesDone < lastDone_) {
        step_ = std::min(step_ + 1, steps_.size() - 1);
        start_ = now;
    }
    lastDone_ = p.bytesDone;
    if (now - last_ < std::chrono::milliseconds(100) && p.filesDone != p.filesTotal) {
        return;
    }
    last_ = now;
    constexpr double kMebibyte = 1048576.0;
    const double done = static_cast<double>(p.bytesDone);
    const double total = static_cast<double>(p.bytesTotal);
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? done / seconds : 0;
    char left[32] = "";
    if (rate > 0 && total >= done) {
        const long long remaining = static_cast<long long>((total - done) / rate + 0.5);
        std::snprintf(left, sizeof left, "  %lld:%02lld left", remaining / 60, remaining % 60);
    }
    std::fprintf(stderr, "\r\033[K%s %5.1f%%  %.1f of %.1f MiB  %.1f MiB/s%s", steps_[step_],
                 total == 0 ? 100.0 : 100.0 * done / total, done / kMebibyte, total / kMebibyte,
                 rate / kMebibyte, left);
    std::fflush(stderr);
    shown_ = true;
}

void ProgressLine::ShowStep(const char* step) {
    if (enabled_) {
        std::fprintf(stderr, "\r\033[K%s", step);
        std::fflush(stderr);
        shown_ = true;
    }
}

void ProgressLine::Finish() {
    if (shown_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        shown_ = false;
    }
}

ScratchFolder::ScratchFolder(const std::string& purpose, const std::string& what)
    : path_(std::filesystem::temp_directory_path() / ("vornback-" + purpose + "-XXXXXX")) {
    if (::mkdtemp(path_.data()) == nullptr) {
        throw Error(what + " cannot be made in " + std::filesystem::temp_directory_path().string());
    }
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace vornback
