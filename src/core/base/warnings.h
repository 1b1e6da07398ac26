// Where the core sends what the person should know but that does not stop a run (a
// staging folder that stays, a year database left uncompacted, a link left out of a
// backup): one sink for the program, set once at start-up. The headless tool prints each
// line under its own name; the window program writes it to its log (stderr). The core
// itself prints nothing.
#pragma once

#include <string>

namespace vornback {

class WarningSink {
  public:
    virtual ~WarningSink() = default;
    // One warning, a full sentence without the program's name; called from any thread,
    // one call at a time.
    virtual void Warn(const std::string& text) = 0;
};

// Installs the sink (borrowed: it must outlive its use; nullptr for none) and gives back
// the one it replaces.
WarningSink* SetWarningSink(WarningSink* sink);

// Hands the text to the sink; without a sink it is dropped.
void Warn(const std::string& text);

}  // namespace vornback
