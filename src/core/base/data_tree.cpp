#include "base/data_tree.h"

#include "base/text.h"

namespace vornback {

std::string SettingsFile(const ProgramValues& values) {
    return JoinPath(values.ProgramFolder, "settings.ini");
}

std::string StagingRoot(const ProgramValues& values) {
    return JoinPath(values.ProgramFolder, "Back");
}

std::string StagingFirmFolder(const ProgramValues& values, int64_t n) {
    return JoinPath(StagingRoot(values), FirmFolderName(n));
}

std::string RootDatabase(const ProgramValues& values) {
    return JoinPath(values.AppFolder, kRootDatabaseName);
}

std::string FirmFolder(const ProgramValues& values, int64_t n) {
    return JoinPath(values.AppFolder, FirmFolderName(n));
}

std::string FirmDatabase(const ProgramValues& values, int64_t n) {
    return JoinPath(FirmFolder(values, n), FirmDatabaseName(n));
}

std::string YearFolder(const ProgramValues& values, int64_t n, const std::string& k) {
    return JoinPath(FirmFolder(values, n), YearFolderName(k));
}

std::string ClipFile(const ProgramValues& values) {
    return JoinPath(JoinPath(values.AppFolder, "Res"), "fc.avi");
}

bool NewerStamp(const std::string& a, const std::string& b) {
    constexpr size_t kStampLength = 15;  // YYYYMMDD-HHMMSS
    const auto serial = [](const std::string& stamp) {
        uint64_t n = 0;
        for (size_t i = kStampLength + 1; i < stamp.size() && n < 1000000; ++i) {
            if (stamp[i] < '0' || stamp[i] > '9') {
                break;
            }
            n = n * 10 + static_cast<uint64_t>(stamp[i] - '0');
        }
        return stamp.size() > kStampLength + 1 ? n : 1;
    };
    const int order = a.compare(0, kStampLength, b, 0, kStampLength);
    return order != 0 ? order > 0 : serial(a) > serial(b);
}

}  // namespace vornback
