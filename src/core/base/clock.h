// Today's date and day name, and the time now, as an interface so that tests can fix them.
#pragma once

#include <cstdint>
#include <string>

namespace vornback {

struct Today {
    int year = 0;
    int month = 0;        // 1..12
    int day = 0;          // 1..31
    std::string dayName;  // full name of the day of the week, in the system's language
};

class Clock {
  public:
    virtual ~Clock() = default;
    virtual Today Now() = 0;
    // The time now, in whole seconds since the epoch.
    virtual int64_t Seconds() = 0;
};

// The local date, and the day name of the LC_TIME locale (the program calls
// setlocale(LC_ALL, "") at start-up).
class SystemClock : public Clock {
  public:
    Today Now() override;
    int64_t Seconds() override;
};

// The one system clock of the process, for the runs that are given no other.
Clock& TheSystemClock();

// The regional decimal separator of the LC_NUMERIC locale ("." when it has none).
std::string RegionalDecimalSeparator();

}  // namespace vornback
