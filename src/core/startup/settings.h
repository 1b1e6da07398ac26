// The settings file: a classic sectioned key=value file in the program folder that keeps
// the person's last choices on each window. Section and key names match without regard
// to case; a write keeps unrelated sections, keys and comments; a value reads back cut to
// 254 characters; a failed write says why.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace vornback {

// The value of one key, or "" when the file, section or key is missing or the file cannot
// be read. Of duplicate keys the first counts. At most 254 characters are returned.
std::string ReadSetting(const std::string& section, const std::string& key,
                        const std::string& file);

// Creates the file, section and key as needed and replaces an existing value. The file is
// written whole under a new name and renamed into place. Returns "" or, when the value was
// not saved, why (the file as it was stays).
std::string WriteSetting(const std::string& section, const std::string& key,
                         const std::string& value, const std::string& file);

// The numeric reading rule: the leading number of the text rounded to a 16-bit whole
// number, halves to even; empty or no number gives 0. A value outside the 16-bit range
// gives 0, so that a damaged file never stops the program.
int16_t NumericSetting(const std::string& text);

// One section of one settings file, read and written key by key with the rules above.
class SettingsSection {
  public:
    SettingsSection(std::string section, std::string file)
        : section_(std::move(section)), file_(std::move(file)) {}

    std::string Text(const std::string& key) const { return ReadSetting(section_, key, file_); }
    int16_t Number(const std::string& key) const { return NumericSetting(Text(key)); }
    // A number other than 0 is yes; a missing or empty key gives fallback.
    bool Flag(const std::string& key, bool fallback) const {
        const std::string text = Text(key);
        return text.empty() ? fallback : NumericSetting(text) != 0;
    }
    // WriteSetting's answer: "" or why the value was not saved.
    std::string Write(const std::string& key, const std::string& value) const {
        return WriteSetting(section_, key, value, file_);
    }

    const std::string& File() const { return file_; }

  private:
    std::string section_;
    std::string file_;
};

}  // namespace vornback
