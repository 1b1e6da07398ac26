// Shared helpers for the tests that work on real trees and archives: generated file
// contents, folder and archive listings, archives built by Python's zipfile, and queries
// past the typed register statements.
#pragma once

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace vornback {
class Database;
}

namespace vornback::test {

// Bytes that do not compress.
std::string RandomBytes(size_t size, unsigned seed);
// Text that deflates well but not trivially: words drawn at random from a small list.
std::string CompressibleText(size_t size, unsigned seed);
// Voucher lines as an export holds them: numbers, dates, amounts and a few party names.
std::string VoucherLines(size_t size, unsigned seed);

// The names directly inside a folder, sorted; empty when the folder is missing.
std::vector<std::string> Names(const std::filesystem::path& folder);
// Every path below root, relative and "/" separated, folders with a trailing "/".
std::set<std::string> AllPaths(const std::filesystem::path& root);
// Whether a temporary file of the archive component is left below root.
bool HasTemporaryFile(const std::filesystem::path& root);
// The names of the file entries of an archive.
std::set<std::string> FileEntries(const std::string& archive);

// Builds an archive with Python's zipfile from a script body that gets `z`, an open
// ZipFile on the path; names and attributes are written exactly as given.
void PythonZip(const std::string& archive, const std::string& body);
// A firm archive with the firm and year databases and entries that climb out of the
// folder it is unpacked into.
std::string HostileArchive(const std::string& path);

// All rows of a query, one line per row, each column followed by '|'.
std::string QueryRows(Database& db, const std::string& sql);
// The first column of the first row of a query, "<no row>" without one.
std::string QueryValue(Database& db, const std::string& sql);

}  // namespace vornback::test
