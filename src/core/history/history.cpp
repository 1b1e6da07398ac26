#include "history/history.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <utility>

#include "archive/archive.h"
#include "base/clock.h"
#include "base/data_tree.h"
#include "base/errors.h"
#include "base/text.h"
#include "base/warnings.h"
#include "platform/posix.h"
#include "platform/run_lock.h"

namespace vornback {

namespace {

constexpr const char* kResultWords[] = {"ok", "stopped", "refused", "cancelled", "failed"};
constexpr size_t kFields = 10;

// The characters written escaped in a history field, each with the letter after its
// backslash.
constexpr std::pair<char, char> kEscapes[] = {{'\t', 't'}, {'\n', 'n'}, {'\r', 'r'}, {'\\', '\\'}};

std::string Escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto* escape = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                          [c](const auto& e) { return e.first == c; });
        if (escape == std::end(kEscapes)) {
            out += c;
        } else {
            out += '\\';
            out += escape->second;
        }
    }
    return out;
}

std::optional<std::string> Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) {
            return std::nullopt;
        }
        const char letter = text[i];
        const auto* escape = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                          [letter](const auto& e) { return e.second == letter; });
        if (escape == std::end(kEscapes)) {
            return std::nullopt;
        }
        out += escape->first;
    }
    return out;
}

// Cuts an escaped text to at most length bytes without splitting an escape.
std::string CutEscaped(const std::string& escaped, size_t length) {
    if (escaped.size() <= length) {
        return escaped;
    }
    size_t end = 0;
    for (size_t i = 0; i < length;) {
        const size_t step = escaped[i] == '\\' ? 2 : 1;
        if (i + step > length) {
            break;
        }
        i += step;
        end = i;
    }
    return escaped.substr(0, end);
}

// A time as text in a strftime format, in UTC or in the local time zone.
std::string TimeText(int64_t time, bool utc, const char* format) {
    const std::time_t t = static_cast<std::time_t>(time);
    std::tm tm{};
    if (utc) {
        gmtime_r(&t, &tm);
    } else {
        localtime_r(&t, &tm);
    }
    char text[32];
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

std::string UtcText(int64_t time) {
    return TimeText(time, true, "%Y-%m-%dT%H:%M:%SZ");
}

std::optional<int64_t> ParseUtc(const std::string& text) {
    std::tm tm{};
    char rest = 0;
    if (text.size() != 20 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &rest) != 7 ||
        rest != 'Z') {
        return std::nullopt;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    // timegm would roll a 13th month or a 32nd day over; such a time was never written.
    const int64_t time = static_cast<int64_t>(timegm(&tm));
    if (UtcText(time) != text) {
        return std::nullopt;
    }
    return time;
}

// A whole number as written, digits only (with a minus sign when signed is allowed).
template <typename T>
bool ParseWhole(const std::string& text, T& value, const char* format, bool withSign = false) {
    char rest = 0;
    const size_t digits = withSign && !text.empty() && text[0] == '-' ? 1 : 0;
    return text.size() > digits && std::isdigit(static_cast<unsigned char>(text[digits])) &&
           std::sscanf(text.c_str(), format, &value, &rest) == 1;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

}  // namespace

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

namespace {

int64_t NowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void Fail(const std::string& what, const std::string& file, int error) {
    throw FileSystemError("The history file \"" + file + "\" could not be " + what + ": " +
                          std::strerror(error));
}

}  // namespace

const char* ResultWord(RunResult result) {
    return kResultWords[static_cast<int>(result)];
}

std::string HistoryFile(const ProgramValues& values) {
    return JoinPath(values.StateFolder.empty() ? values.ProgramFolder : values.StateFolder,
                    "history.tsv");
}

std::string FormatHistoryLine(const HistoryRecord& r) {
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "%" PRIu64 "\t%" PRIu64 "\t%.3f\t%s", r.bytes, r.files,
                  r.seconds, ResultWord(r.result));
    std::string head = UtcText(r.time) + "\t" + std::to_string(r.firm) + "\t" +
                       CutEscaped(Escape(r.year), 64) + "\t" + CutEscaped(Escape(r.kind), 64) +
                       "\t";
    std::string archive = Escape(r.archive);
    std::string reason = Escape(r.reason);
    // The reason gives way first, then the archive path, so the line fits in one write.
    const size_t fixed = head.size() + 1 + std::strlen(numbers) + 1 + 1;
    if (fixed + archive.size() + reason.size() > kMaxHistoryLine) {
        reason =
            CutEscaped(reason, kMaxHistoryLine - std::min(kMaxHistoryLine, fixed + archive.size()));
        archive = CutEscaped(archive, kMaxHistoryLine - fixed - reason.size());
    }
    return head + archive + "\t" + numbers + "\t" + reason + "\n";
}

std::optional<HistoryRecord> ParseHistoryLine(const std::string& line) {
    const std::vector<std::string> f = SplitTabs(line);
    if (f.size() != kFields) {
        return std::nullopt;
    }
    HistoryRecord r;
    const std::optional<int64_t> time = ParseUtc(f[0]);
    const std::optional<std::string> year = Unescape(f[2]);
    const std::optional<std::string> kind = Unescape(f[3]);
    const std::optional<std::string> archive = Unescape(f[4]);
    const std::optional<std::string> reason = Unescape(f[9]);
    if (!time || !year || !kind || !archive || !reason || kind->empty() ||
        !ParseWhole(f[1], r.firm, "%" SCNd32 "%c", true) ||
        !ParseWhole(f[5], r.bytes, "%" SCNu64 "%c") ||
        !ParseWhole(f[6], r.files, "%" SCNu64 "%c") || !IsDecimalNumber(f[7])) {
        return std::nullopt;
    }
    r.seconds = ParseDecimal(f[7]);
    bool known = false;
    for (int i = 0; i < 5; ++i) {
        if (f[8] == kResultWords[i]) {
            r.result = static_cast<RunResult>(i);
            known = true;
        }
    }
    if (!known) {
        return std::nullopt;
    }
    r.time = *time;
    r.year = *year;
    r.kind = *kind;
    r.archive = *archive;
    r.reason = *reason;
    return r;
}

void AppendHistory(const std::string& file, const HistoryRecord& record) {
    std::string line = FormatHistoryLine(record);
    Fd fd(::open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, PrivateFileMode()));
    if (!fd.Valid()) {
        Fail("opened", file, errno);
    }
    // The history names the firms' archives: private whatever the umask (a file of another
    // user, in a shared program folder, stays as it is).
    if (const int err = MakePrivate(fd.Get(), false); err != 0) {
        Fail("made private", file, err);
    }
    // A line cut off by a crash gets its end first, so that it stays a line of its own.
    const off_t size = ::lseek(fd.Get(), 0, SEEK_END);
    char last = '\n';
    if (size > 0 && ReadAt(fd.Get(), &last, 1, static_cast<uint64_t>(size - 1)) != 1) {
        Fail("read", file, errno);
    }
    if (last != '\n') {
        line.insert(0, "\n");
    }
    // One write: a reader or another run sees the whole line or none of it.
    const ssize_t written = ::write(fd.Get(), line.data(), line.size());
    if (written != static_cast<ssize_t>(line.size())) {
        Fail("written", file, written < 0 ? errno : ENOSPC);
    }
    if (::fsync(fd.Get()) != 0) {
        Fail("synced", file, errno);
    }
    if (const int error = fd.Close(); error != 0) {
        Fail("closed", file, error);
    }
    // A file this append made stands a power loss only once its folder's entries do.
    if (size == 0) {
        const Fd folder(::open(FolderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder.Valid() || ::fsync(folder.Get()) != 0) {
            Fail("made durable in its folder", file, errno);
        }
    }
}

std::vector<HistoryRecord> ReadHistory(const std::string& file) {
    std::vector<HistoryRecord> records;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            return records;
        }
        Fail("read", file, errno);
    }
    std::string line;
    while (std::getline(in, line)) {
        // A last line without its new-line was cut off while it was written.
        if (in.eof()) {
            break;
        }
        if (std::optional<HistoryRecord> record = ParseHistoryLine(line)) {
            records.push_back(std::move(*record));
        }
    }
    if (in.bad()) {
        Fail("read", file, errno);
    }
    return records;
}

std::string HistoryJson(const HistoryRecord& r) {
    char numbers[160];
    std::snprintf(numbers, sizeof numbers,
                  "\"bytes\":%" PRIu64 ",\"files\":%" PRIu64 ",\"seconds\":%.3f,", r.bytes, r.files,
                  r.seconds);
    return "{\"time\":" + JsonText(UtcText(r.time)) + ",\"firm\":" + std::to_string(r.firm) +
           ",\"year\":" + JsonText(r.year) + ",\"kind\":" + JsonText(r.kind) +
           ",\"archive\":" + JsonText(r.archive) + "," + numbers +
           "\"result\":" + JsonText(ResultWord(r.result)) + ",\"reason\":" + JsonText(r.reason) +
           "}";
}

std::string LocalTimeText(int64_t time) {
    return TimeText(time, false, "%Y-%m-%d %H:%M");
}

std::string DrillProofText(const std::vector<HistoryRecord>& records, int32_t firm,
                           const HistoryRecord& lastBackup) {
    const HistoryRecord* newest = nullptr;
    const HistoryRecord* lastProven = nullptr;
    const HistoryRecord* firstFailed = nullptr;
    for (const HistoryRecord& r : records) {
        if (r.firm != firm || r.kind != kDrillKind ||
            (r.result != RunResult::Ok && r.result != RunResult::Failed)) {
            continue;
        }
        newest = &r;
        if (r.result == RunResult::Ok) {
            lastProven = &r;
        } else if (firstFailed == nullptr) {
            firstFailed = &r;
        }
    }
    const auto day = [](const HistoryRecord* r) { return LocalTimeText(r->time).substr(0, 10); };
    if (newest != nullptr && newest == lastProven && newest->archive == lastBackup.archive &&
        newest->time >= lastBackup.time) {
        return "proven " + day(newest);
    }
    if (lastProven != nullptr) {
        return "not proven since " + day(lastProven);
    }
    return firstFailed != nullptr ? "not proven since " + day(firstFailed) : "";
}

std::string LastBackupText(const std::string& file, int32_t firm) {
    std::vector<HistoryRecord> records;
    try {
        records = ReadHistory(file);
    } catch (const FileSystemError& e) {
        Warn(e.what());
    }
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (it->firm == firm && it->result == RunResult::Ok && it->kind.rfind("backup", 0) == 0) {
            const std::string folder = FolderOf(it->archive);
            const std::string proof = DrillProofText(records, firm, *it);
            std::string text = "Last backup: " + LocalTimeText(it->time) + ", " +
                               SizeText(it->bytes) + ", " + folder +
                               (proof.empty() ? "" : ", " + proof);
            // A backup whose offsite copy failed stands, but the person must see it.
            const size_t offsite = it->reason.find("offsite copy failed");
            if (offsite != std::string::npos) {
                const size_t end = it->reason.find("; the archive was written", offsite);
                text += " (" + it->reason.substr(offsite, end - offsite) + ")";
            }
            return text;
        }
    }
    return "No backup yet";
}

void RecordPrune(const std::string& file, Clock& clock, int64_t firm, const std::string& yearNo,
                 const std::string& archive, uint64_t bytes, const std::string& reason) {
    if (file.empty()) {
        return;
    }
    HistoryRecord record;
    record.time = clock.Seconds();
    record.firm = static_cast<int32_t>(firm);
    record.year = yearNo;
    record.kind = "prune";
    record.archive = archive;
    record.bytes = bytes;
    record.reason = reason;
    try {
        AppendHistory(file, record);
    } catch (const Error& e) {
        Warn(e.what());
    }
}

RunRecord::RunRecord(const ProgramValues& values, std::string kind, Clock& clock)
    : file_(HistoryFile(values)), startNanoseconds_(NowNanoseconds()) {
    record_.time = clock.Seconds();
    record_.firm = values.CurrentFirmNo;
    record_.year = values.CurrentYearNo;
    record_.kind = std::move(kind);
}

void RunRecord::Finish(RunResult result, const std::string& reason) {
    if (written_) {
        return;
    }
    written_ = true;
    record_.result = result;
    record_.reason = reason;
    record_.seconds = static_cast<double>(NowNanoseconds() - startNanoseconds_) / 1e9;
    try {
        if (result == RunResult::Ok && !record_.archive.empty()) {
            CountArchive();
        }
        AppendHistory(file_, record_);
    } catch (const Error& e) {
        Warn(std::string("the run was not recorded in the history: ") + e.what());
    }
}

void RunRecord::CountArchive() {
    // The archive may be gone by now (a person deleted it while a question waited): the
    // run is recorded all the same, without its size and entries.
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(record_.archive, error);
    if (error) {
        return;
    }
    try {
        uint64_t files = 0;
        for (const ArchiveEntry& entry : ListArchive(record_.archive)) {
            files += entry.isFolder ? 0 : 1;
        }
        record_.files = files;
        record_.bytes = static_cast<uint64_t>(size);
    } catch (const Error& e) {
        Warn(std::string("the archive's entries were not counted for the history: ") + e.what());
    }
}

void RunRecord::Fail(const std::string& shown) {
    try {
        throw;
    } catch (const RunDeclined&) {
        Finish(RunResult::Cancelled, "the person answered No; nothing was changed");
    } catch (const ProgramEnd&) {
        Finish(RunResult::Refused, shown.empty() ? "refused" : shown);
    } catch (const RunLocked& e) {
        Finish(RunResult::Refused, e.what());
    } catch (const ArchiveCancelled& e) {
        Finish(RunResult::Cancelled, e.what());
    } catch (const std::exception& e) {
        Finish(RunResult::Failed, e.what());
    } catch (...) {
        Finish(RunResult::Failed, "an unknown failure");
    }
}

Answer MessageMemo::Show(const Message& message) {
    if (message.buttons == Buttons::Ok) {
        last_ = message.text + (message.detail.empty() ? "" : " (" + message.detail + ")");
    }
    return inner_.Show(message);
}

}  // namespace vornback
