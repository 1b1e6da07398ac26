// Where a program works: the data tree and its program folder, for a program copied into a
// data tree's program folder and for an installed one (/usr/bin) alike. An installed
// program never works in its own folder: it takes the data tree from --data DIR or from the
// user's configuration, and where the data tree's program folder is not writable for the
// user the history and the locks go to the user's state folder. Both programs (the window
// and the headless tool) find their workplace here.
#pragma once

#include <optional>
#include <string>

#include "base/errors.h"
#include "startup/launch.h"

namespace vornback {

// Neither --data nor the user's configuration names a data tree for an installed program.
class NoDataTree : public UsageError {
  public:
    using UsageError::UsageError;
};

// Where a program works: the program folder of a data tree, and where the history and the
// locks go when that folder cannot take them.
struct Workplace {
    std::string programFolder;
    std::string stateFolder;  // "" when the program folder takes them
    std::string problem;      // why the program folder cannot take them ("" when it can)
};

// Whether folder holds the root register Root.mdb (in any letter case): a data tree.
bool HoldsRootRegister(const std::string& folder);

// Whether a program in programFolder lies in a data tree (the folder's parent holds the root
// register); an installed program does not.
bool InDataTree(const std::string& programFolder);

// The user's configuration: $XDG_CONFIG_HOME/vornback/vornback.conf (~/.config without it).
std::string ConfigFile();

// The data tree named in the user's configuration ("data=DIR"), "" when there is none.
std::string ConfiguredDataTree();

// The data tree given as a folder: absolute, without a trailing separator. Throws Error when
// it does not exist or holds no root register.
std::string CheckedDataTree(const std::string& given);

// Checks the data tree and keeps it in the user's configuration, written whole beside its
// place, synced and renamed over it (a crash leaves the old or the new file). Returns the
// tree as kept; throws Error naming the file and the cause.
std::string SaveConfiguredDataTree(const std::string& given);

// The workplace, in this order: programFolder (a data tree's program folder given as such:
// it must exist), else the data tree dataTree (its program folder DIR/Bkp), else ownFolder
// (the running program's folder) when it lies in a data tree, else the data tree in the
// user's configuration. Without any of them it throws NoDataTree naming both ways. A
// program folder this
// user may not write to keeps the history and the locks in a folder of
// $XDG_STATE_HOME/vornback/ (~/.local/state without it) for that tree, made private.
// Throws Error for folders that do not exist or cannot be made.
Workplace FindWorkplace(const std::optional<std::string>& programFolder,
                        const std::optional<std::string>& dataTree, const std::string& ownFolder);

// The line that says where the history and the locks are kept instead ("" when the
// program folder takes them).
std::string StateFolderNote(const Workplace& place);

// The start-up decision for the command line in the workplace: its program folder, the
// default folder facts of that folder and its state folder. Throws UsageError as
// DecideStartup does.
StartupDecision DecideStartup(std::string_view commandLine, const Workplace& place);

}  // namespace vornback
