#include "sample/sample_content.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"

namespace vornback {
namespace sample {

namespace {

// ---- Deterministic randomness ----

uint64_t Fnv1a(std::string_view text) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (const char c : text) {
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
    }
    return h;
}

// ---- Calendar ----

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

constexpr std::array<const char*, 12> kParties = {
    "Anand Stores",  "Bharat Agencies", "City Mart",      "Deepak & Co",
    "Eastern Goods", "Fine Fabrics",    "Ganesh Traders", "Harbour Foods",
    "Indus Metals",  "Jyoti Chemicals", "Kiran Paper",    "Lotus Plastics"};

constexpr std::array<const char*, 10> kNarrations = {
    "Being goods sold to",         "Being goods purchased from",
    "Being cash received from",    "Being cash paid to",
    "Being cheque deposited from", "Being rent paid for the month",
    "Being salary paid to staff",  "Being freight paid on goods from",
    "Being discount allowed to",   "Being amount transferred to"};

std::string Fixed(std::string text, size_t width) {
    text.resize(width, ' ');
    return text;
}

// Each draw is its own statement: the order in which a call's arguments are evaluated is
// not fixed, and the bytes must not depend on the compiler.
std::string Money(Random& r, int maxRupees) {
    const int rupees = r.Between(1, maxRupees);
    const int paise = r.Between(0, 99);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%d.%02d", rupees, paise);
    return buffer;
}

}  // namespace

// Each file draws from its own stream, so its bytes depend on the seed and its place in the
// tree only, never on the order in which the tree is built.
Random StreamFor(uint64_t seed, std::string_view relativePath) {
    Random mix(seed);
    return Random(mix.Next() ^ Fnv1a(relativePath));
}

Date CivilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp + (mp < 10 ? 3 : -9);
    return Date{static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0)), static_cast<int>(m),
                static_cast<int>(d)};
}

Period YearPeriod(int firstYear, int yearNo) {
    const int start = firstYear + yearNo - 1;
    return {DaysFromCivil(start, 4, 1), DaysFromCivil(start + 1, 3, 31)};
}

// A moment within the period, in office hours, to the second (odd seconds included).
int64_t TimeWithin(Random& r, const Period& p) {
    const int64_t day =
        p.firstDay +
        static_cast<int64_t>(r.Below(static_cast<uint64_t>(p.lastDay - p.firstDay + 1)));
    return day * 86400 + 8 * 3600 + static_cast<int64_t>(r.Below(11 * 3600));
}

std::string Narration(Random& r) {
    std::string text = r.Pick(kNarrations);
    text += ' ';
    text += r.Pick(kParties);
    return text;
}

int64_t DayWithin(Random& r, const Period& p) {
    return p.firstDay +
           static_cast<int64_t>(r.Below(static_cast<uint64_t>(p.lastDay - p.firstDay + 1)));
}

std::string IsoDay(int64_t days) {
    return IsoDate(CivilFromDays(days));
}

// ---- File content ----

// Fixed-width voucher records as the host's data files hold them: deflates 4 to 5 times.
std::string VoucherRecords(Random& r, size_t bytes, const Period& period) {
    std::string out;
    out.reserve(bytes + 256);
    int serial = 1;
    char line[256];
    while (out.size() < bytes) {
        const int64_t day = DayWithin(r, period);
        const std::string narration = Narration(r);
        const std::string debit = Fixed(r.Pick(kAccounts), 18);
        const std::string credit = Fixed(r.Pick(kAccounts), 18);
        const std::string amount = Money(r, 250000);
        const int reference = r.Between(0, 999999);
        const int quantity = r.Between(1, 5000);
        std::snprintf(line, sizeof line, "V%07d|%s|%s|%s|%12s|%06d|%5d|%s\r\n", serial++,
                      IsoDay(day).c_str(), debit.c_str(), credit.c_str(), amount.c_str(), reference,
                      quantity, Fixed(narration, 48).c_str());
        out += line;
    }
    out.resize(bytes);
    return out;
}

// A printed report or an export: text with repeated headings, compressible.
std::string ReportText(Random& r, size_t bytes, const std::string& firmName, bool xml) {
    std::string out;
    out.reserve(bytes + 256);
    char line[256];
    if (xml) {
        out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Vouchers firm=\"" + firmName +
               "\">\r\n";
    } else {
        out += firmName + "\r\nLedger statement\r\n" + std::string(78, '-') + "\r\n";
    }
    while (out.size() < bytes) {
        const int number = r.Between(1, 99999);
        const char* account = r.Pick(kAccounts);
        const char* party = r.Pick(kParties);
        const std::string amount = Money(r, 90000);
        if (xml) {
            std::snprintf(line, sizeof line,
                          "  <Voucher no=\"%d\" account=\"%s\" party=\"%s\" amount=\"%s\"/>\r\n",
                          number, account, party, amount.c_str());
        } else {
            std::snprintf(line, sizeof line, "%-24s %-20s %14s Dr\r\n", account, party,
                          amount.c_str());
        }
        out += line;
    }
    out.resize(bytes);
    return out;
}

// A printed report saved as PDF: objects with uncompressed text content streams, as a
// print-to-file driver writes them.
std::string PdfReport(Random& r, size_t bytes, const std::string& firmName) {
    std::string out = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    out.reserve(bytes + 512);
    char line[256];
    for (int object = 1; out.size() < bytes; ++object) {
        std::string stream = "BT /F1 9 Tf 36 806 Td (" + firmName + " - Trial balance) Tj\n";
        for (int row = 0; row < 60; ++row) {
            std::snprintf(line, sizeof line, "0 -12 Td (%-24s %-20s %14s) Tj\n", r.Pick(kAccounts),
                          r.Pick(kParties), Money(r, 900000).c_str());
            stream += line;
        }
        stream += "ET\n";
        out += std::to_string(object) + " 0 obj\n<< /Length " + std::to_string(stream.size()) +
               " >>\nstream\n" + stream + "endstream\nendobj\n";
    }
    out.resize(bytes > 6 ? bytes - 6 : bytes);
    out += "%%EOF\n";
    return out;
}

// Comma-separated export of a year's entries.
std::string CsvExport(Random& r, size_t bytes, const Period& period) {
    std::string out = "Date,Account,Party,Debit,Credit\r\n";
    out.reserve(bytes + 256);
    char line[256];
    while (out.size() < bytes) {
        const int64_t day = DayWithin(r, period);
        const bool debit = r.Below(2) == 0;
        const std::string amount = Money(r, 50000);
        const char* account = r.Pick(kAccounts);
        const char* party = r.Pick(kParties);
        std::snprintf(line, sizeof line, "%s,%s,%s,%s,%s\r\n",
                      DisplayDate(CivilFromDays(day)).c_str(), account, party,
                      debit ? amount.c_str() : "", debit ? "" : amount.c_str());
        out += line;
    }
    out.resize(bytes);
    return out;
}

// A scanned document or photograph: a JPEG or PNG signature and random bytes, which no
// compressor can shrink.
std::string ImageBytes(Random& r, size_t bytes, bool png) {
    static constexpr unsigned char kJpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',
                                              'F',  'I',  'F',  0x00, 0x01, 0x01, 0x01,
                                              0x00, 0x48, 0x00, 0x48, 0x00, 0x00};
    static constexpr unsigned char kPng[] = {0x89, 'P',  'N',  'G',  0x0D, 0x0A, 0x1A, 0x0A,
                                             0x00, 0x00, 0x00, 0x0D, 'I',  'H',  'D',  'R'};
    std::string out = png ? std::string(reinterpret_cast<const char*>(kPng), sizeof kPng)
                          : std::string(reinterpret_cast<const char*>(kJpeg), sizeof kJpeg);
    if (bytes < out.size() + 2) {
        bytes = out.size() + 2;
    }
    out.reserve(bytes + 8);
    while (out.size() + 8 <= bytes - 2) {
        const uint64_t v = r.Next();
        char chunk[8];
        std::memcpy(chunk, &v, sizeof chunk);
        out.append(chunk, sizeof chunk);
    }
    while (out.size() < bytes - 2) {
        out.push_back(static_cast<char>(r.Next() & 0xFF));
    }
    out += png ? std::string("\xAE\x42") : std::string("\xFF\xD9");
    return out;
}

}  // namespace sample
}  // namespace vornback
