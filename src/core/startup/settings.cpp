// The settings file is edited line by line: a write changes or adds exactly one line and
// keeps every other byte of the file (other sections, keys, comments, blank lines and the
// file's own line endings) as it was.
#include "startup/settings.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "platform/file_system.h"

namespace vornback {
namespace {

constexpr size_t kMaxValueLength = 254;

struct Line {
    std::string text;  // without its line ending
    std::string ending;
};

std::vector<Line> SplitLines(const std::string& content) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t nl = content.find('\n', start);
        Line line;
        if (nl == std::string::npos) {
            line.text = content.substr(start);
            start = content.size();
        } else {
            size_t end = nl;
            line.ending = "\n";
            if (end > start && content[end - 1] == '\r') {
                --end;
                line.ending = "\r\n";
            }
            line.text = content.substr(start, end - start);
            start = nl + 1;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// The section a header line opens, or nothing when the line is not a header.
std::optional<std::string> SectionName(const std::string& line) {
    const std::string t = TrimBlanks(line);
    if (t.empty() || t[0] != '[') {
        return std::nullopt;
    }
    const size_t close = t.find(']');
    return TrimBlanks(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

// The key of a key=value line, or nothing for comments and other lines.
std::optional<std::string> KeyName(const std::string& line) {
    const std::string t = TrimBlanks(line);
    if (t.empty() || t[0] == ';') {
        return std::nullopt;
    }
    const size_t eq = t.find('=');
    if (eq == std::string::npos) {
        return std::nullopt;
    }
    return TrimBlanks(t.substr(0, eq));
}

std::string RawValue(const std::string& line) {
    std::string value = TrimBlanks(line.substr(line.find('=') + 1));
    // A value in matching quotes reads without them, as the platform's reader gives it.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

// Cuts to the reader's limit without splitting a UTF-8 character.
std::string CutValue(std::string value) {
    if (value.size() <= kMaxValueLength) {
        return value;
    }
    size_t cut = kMaxValueLength;
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    value.resize(cut);
    return value;
}

bool ReadWhole(const std::string& file, std::string& content) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    content = s.str();
    return true;
}

// Index of the line that opens the first section of that name, and one past its last line.
std::optional<std::pair<size_t, size_t>> FindSection(const std::vector<Line>& lines,
                                                     const std::string& section) {
    const std::string wanted = ToLower(section);
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto name = SectionName(lines[i].text);
        if (name && ToLower(*name) == wanted) {
            size_t end = i + 1;
            while (end < lines.size() && !SectionName(lines[end].text)) {
                ++end;
            }
            return std::make_pair(i, end);
        }
    }
    return std::nullopt;
}

std::optional<size_t> FindKey(const std::vector<Line>& lines, size_t begin, size_t end,
                              const std::string& key) {
    const std::string wanted = ToLower(key);
    for (size_t i = begin; i < end; ++i) {
        const auto name = KeyName(lines[i].text);
        if (name && ToLower(*name) == wanted) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string ReadSetting(const std::string& section, const std::string& key,
                        const std::string& file) {
    std::string content;
    if (!ReadWhole(file, content)) {
        return "";
    }
    const auto lines = SplitLines(content);
    const auto range = FindSection(lines, section);
    if (!range) {
        return "";
    }
    const auto at = FindKey(lines, range->first + 1, range->second, key);
    return at ? CutValue(RawValue(lines[*at].text)) : "";
}

std::string WriteSetting(const std::string& section, const std::string& key,
                         const std::string& value, const std::string& file) {
    struct stat st {};
    const bool exists = stat(file.c_str(), &st) == 0;
    if (exists && (!S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR) == 0)) {
        // A read-only or odd settings file keeps its old values.
        return S_ISREG(st.st_mode) ? "the file is read-only" : "it is not a plain file";
    }
    std::string content;
    if (exists && !ReadWhole(file, content)) {
        return std::string("it cannot be read: ") + std::strerror(errno);
    }
    // A line break inside a value would open a new line in the file.
    std::string clean = value;
    for (char& c : clean) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }

    auto lines = SplitLines(content);
    const std::string eol =
        lines.empty() || lines.front().ending.empty() ? "\n" : lines.front().ending;
    if (!lines.empty() && lines.back().ending.empty()) {
        lines.back().ending = eol;
    }
    const auto range = FindSection(lines, section);
    if (!range) {
        lines.push_back({"[" + section + "]", eol});
        lines.push_back({key + "=" + clean, eol});
    } else if (const auto at = FindKey(lines, range->first + 1, range->second, key)) {
        const std::string& old = lines[*at].text;
        lines[*at].text = TrimBlanks(old.substr(0, old.find('='))) + "=" + clean;
    } else {
        // After the section's last key, so that comments and blank lines that close the
        // section stay where they are.
        size_t insertAt = range->first + 1;
        for (size_t i = range->first + 1; i < range->second; ++i) {
            if (KeyName(lines[i].text)) {
                insertAt = i + 1;
            }
        }
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt),
                     {key + "=" + clean, eol});
    }

    std::string out;
    for (const auto& line : lines) {
        out += line.text;
        out += line.ending;
    }

    // Written whole under a new name and renamed into place: a crash never leaves half a
    // settings file.
    const char* step = "";
    const int err = WriteWholeFile(file, out, exists ? (st.st_mode & 07777) : 0644, &step);
    if (err == 0) {
        return "";
    }
    const std::string reason = std::strerror(err);
    if (std::string_view(step) == "create") {
        return "no new copy can be made beside it: " + reason;
    }
    if (std::string_view(step) == "sync the folder") {
        return "its new contents could not be made durable on the disk: " + reason;
    }
    return "it could not be written: " + reason;
}

int16_t NumericSetting(const std::string& text) {
    const auto value = RoundHalfEven(LeadingNumber(text), INT16_MIN, INT16_MAX);
    return value ? static_cast<int16_t>(*value) : 0;
}

}  // namespace vornback
