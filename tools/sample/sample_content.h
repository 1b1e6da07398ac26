// The generated contents of the sample tree: a deterministic random stream per file, the
// calendar of April-to-March years, the vocabulary of the books and the bytes of each kind of
// file. Internal to the sample tree's writer.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "store/registers.h"

namespace vornback {
namespace sample {

// splitmix64: tiny, fast and the same on every platform and library version.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}

    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A number in [0, n); n > 0.
    uint64_t Below(uint64_t n) { return Next() % n; }
    int Between(int lo, int hi) {
        return lo + static_cast<int>(Below(static_cast<uint64_t>(hi - lo + 1)));
    }
    // A number in [0, 1).
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    template <size_t N>
    const char* Pick(const std::array<const char*, N>& items) {
        return items[Below(N)];
    }

  private:
    uint64_t state_;
};

// Each file draws from its own stream, so its bytes depend on the seed and its place in the
// tree only, never on the order in which the tree is built.
Random StreamFor(uint64_t seed, std::string_view relativePath);

Date CivilFromDays(int64_t z);

// A financial year: 1 April to 31 March of the next calendar year.
struct Period {
    int64_t firstDay = 0;  // days since the epoch
    int64_t lastDay = 0;
};

Period YearPeriod(int firstYear, int yearNo);

// A moment within the period, in office hours, to the second (odd seconds included).
int64_t TimeWithin(Random& r, const Period& p);

inline constexpr std::array<const char*, 12> kFirmNames = {
    "Sharma Traders",    "Northwind Supplies", "Patel & Sons",     "Greenleaf Stores",
    "Bluewater Exports", "Kumar Textiles",     "Sunrise Agencies", "Hill View Dairy",
    "Metro Hardware",    "Lakeside Pharma",    "Crown Motors",     "Silver Oak Foods"};

inline constexpr std::array<const char*, 10> kCities = {
    "Pune", "Nagpur", "Indore", "Surat", "Nashik", "Rajkot", "Mysore", "Kochi", "Jaipur", "Bhopal"};

inline constexpr std::array<const char*, 24> kAccounts = {"Cash",           "Bank of Baroda",
                                                          "State Bank",     "Sales",
                                                          "Purchases",      "Sales Return",
                                                          "Freight Inward", "Rent",
                                                          "Salaries",       "Electricity",
                                                          "Telephone",      "Office Expenses",
                                                          "Sundry Debtors", "Sundry Creditors",
                                                          "Capital",        "Drawings",
                                                          "Furniture",      "Stock",
                                                          "Discount",       "Interest",
                                                          "GST Input",      "GST Output",
                                                          "TDS Payable",    "Bank Charges"};

std::string Narration(Random& r);
int64_t DayWithin(Random& r, const Period& p);
std::string IsoDay(int64_t days);

// Fixed-width voucher records as the host's data files hold them: deflates 4 to 5 times.
std::string VoucherRecords(Random& r, size_t bytes, const Period& period);

// A printed report or an export: text with repeated headings, compressible.
std::string ReportText(Random& r, size_t bytes, const std::string& firmName, bool xml);

// A printed report saved as PDF: objects with uncompressed text content streams, as a
// print-to-file driver writes them.
std::string PdfReport(Random& r, size_t bytes, const std::string& firmName);

// Comma-separated export of a year's entries.
std::string CsvExport(Random& r, size_t bytes, const Period& period);

// A scanned document or photograph: a JPEG or PNG signature and random bytes, which no
// compressor can shrink.
std::string ImageBytes(Random& r, size_t bytes, bool png);

}  // namespace sample
}  // namespace vornback
