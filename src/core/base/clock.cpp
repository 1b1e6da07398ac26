#include "base/clock.h"

#include <clocale>
#include <ctime>

namespace vornback {

Today SystemClock::Now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    Today today;
    today.year = local.tm_year + 1900;
    today.month = local.tm_mon + 1;
    today.day = local.tm_mday;
    // strftime follows LC_TIME, so the day is named in the person's language.
    char name[128] = {};
    if (std::strftime(name, sizeof name, "%A", &local) > 0) {
        today.dayName = name;
    }
    return today;
}

int64_t SystemClock::Seconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

Clock& TheSystemClock() {
    static SystemClock clock;
    return clock;
}

std::string RegionalDecimalSeparator() {
    const std::lconv* conventions = std::localeconv();
    if (conventions == nullptr || conventions->decimal_point == nullptr ||
        conventions->decimal_point[0] == '\0') {
        return ".";
    }
    return conventions->decimal_point;
}

}  // namespace vornback
