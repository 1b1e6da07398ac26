#include "support/test_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "archive/archive.h"
#include "store/registers.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace vornback::test {

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 engine(seed);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(engine() & 0xFFu); });
    return bytes;
}

std::string CompressibleText(size_t size, unsigned seed) {
    static const char* const kWords[] = {"ledger ", "invoice ", "1234.50 ",    "VAT ",  "account\n",
                                         "debit ",  "credit ",  "2023-04-01 ", "Firm ", "year "};
    std::mt19937 engine(seed);
    std::string text;
    while (text.size() < size) {
        text += kWords[engine() % 10];
    }
    text.resize(size);
    return text;
}

std::string VoucherLines(size_t size, unsigned seed) {
    static const char* const kParties[] = {"Sharma Traders", "Gupta & Sons", "Patel Stores",
                                           "City Bank",      "Cash",         "Office Rent"};
    std::mt19937 engine(seed);
    auto below = [&](unsigned n) { return static_cast<unsigned>(engine() % n); };
    std::string text;
    char line[128];
    for (unsigned no = 1; text.size() < size; ++no) {
        std::snprintf(line, sizeof line, "%06u;2023-%02u-%02u;%s;%s;%u.%02u;%s\r\n", no,
                      below(12) + 1, below(28) + 1, kParties[below(6)], kParties[below(6)],
                      below(99999) + 1, below(100), below(2) != 0 ? "Dr" : "Cr");
        text += line;
    }
    text.resize(size);
    return text;
}

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e :
         fs::exists(folder) ? fs::directory_iterator(folder) : fs::directory_iterator()) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::set<std::string> AllPaths(const fs::path& root) {
    std::set<std::string> paths;
    for (const auto& e : fs::exists(root) ? fs::recursive_directory_iterator(root)
                                          : fs::recursive_directory_iterator()) {
        paths.insert(fs::relative(e.path(), root).generic_string() + (e.is_directory() ? "/" : ""));
    }
    return paths;
}

bool HasTemporaryFile(const fs::path& root) {
    const std::set<std::string> paths = AllPaths(root);
    return std::any_of(paths.begin(), paths.end(),
                       [](const std::string& p) { return p.find(".part") != std::string::npos; });
}

std::set<std::string> FileEntries(const std::string& archive) {
    std::set<std::string> names;
    for (const ArchiveEntry& e : ListArchive(archive)) {
        if (!e.isFolder) {
            names.insert(e.name);
        }
    }
    return names;
}

void PythonZip(const std::string& archive, const std::string& body) {
    const std::string script = archive + ".py";
    WriteFile(script, "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'w')\n" + body +
                          "\nz.close()\n");
    std::string output;
    EXPECT_EQ(RunCommand("/usr/bin/python3 '" + script + "' '" + archive + "'", &output), 0)
        << output;
    fs::remove(script);
}

std::string HostileArchive(const std::string& path) {
    PythonZip(path,
              "z.writestr('Firm2.mdb', 'firm')\nz.writestr('Yr1/DVorn1.mdb', 'year')\n"
              "z.writestr('../x', 'out')\nz.writestr('../../evil', 'out')");
    return path;
}

std::string QueryRows(Database& db, const std::string& sql) {
    Statement s(db, sql);
    std::string out;
    while (s.Step()) {
        for (int i = 0; i < s.Columns(); ++i) {
            out += s.Text(i, "a column", "<null>") + '|';
        }
        out += '\n';
    }
    return out;
}

std::string QueryValue(Database& db, const std::string& sql) {
    const std::string rows = QueryRows(db, sql);
    // The first line without the separator after its last column.
    return rows.empty() ? "<no row>" : rows.substr(0, rows.find('\n') - 1);
}

}  // namespace vornback::test
