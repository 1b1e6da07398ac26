// The steps that let a restore change the live data tree so that a kill or a power loss at
// any moment leaves the old or the new data whole, and the next start can tell which:
// the firm locks, syncing a staged tree, the aside-and-in swap of a firm or a year folder,
// and placing a new folder before its register row. Each step that leaves the tree in
// between writes a marker folder below ProgramFolder/Back first; the marker names what
// the step changes, so that recovery at the next start can finish or undo it.
//
// Assumption: ProgramFolder lies inside the data tree (AppFolder is ProgramFolder less its
// last four characters), so Back and the firm folders are on one file system and every
// move below is a rename. Where Back is another file system, the first move fails before
// anything live has changed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/errors.h"
#include "base/program_values.h"
#include "platform/run_lock.h"

namespace vornback {

class FileSystem;

// ---- Firm locks ----

// The locks a restore holds, by firm number (the run lock of each firm it touches); taking
// a firm held already does nothing. Throws RunLocked when another run holds the firm.
using FirmLocks = std::map<int64_t, std::shared_ptr<RunLock>>;
void HoldFirmLock(FirmLocks& locks, const ProgramValues& values, int64_t n, Clock& clock);

// ---- Lookups and syncing ----

// The live firm folder of firm n (AppFolder/Firm<n> in any letter case), or its default
// path when there is none.
std::string LiveFirmFolder(const ProgramValues& values, FileSystem& fs, int64_t n);

// Syncs every file and every folder below folder, the folder itself included.
void SyncTree(FileSystem& fs, const std::string& folder);

// Deletes a folder when it is there.
void DeleteIfThere(FileSystem& fs, const std::string& folder);

// ---- Markers and the places they name ----

std::string ReplacedRoot(const ProgramValues& values);  // ProgramFolder/Back/Replaced
// Full Firm: marker .swap-Firm<n>-<stamp>; the replaced firm goes to Replaced/Firm<n>-<stamp>.
std::string FirmSwapMarker(const ProgramValues& values, int64_t n, const std::string& stamp);
std::string ReplacedCopy(const ProgramValues& values, int64_t n, const std::string& stamp);
// Selected Year: marker .swap-Firm<n>-Yr<t>; the replaced year waits in .aside-Firm<n>-Yr<t>.
std::string YearSwapMarker(const ProgramValues& values, int64_t n, const std::string& t);
std::string YearAside(const ProgramValues& values, int64_t n, const std::string& t);
// Add Firm: .place-Firm<m>; Add Year: .place-Firm<n>-Yr<k>.
std::string FirmPlaceMarker(const ProgramValues& values, int64_t m);
std::string YearPlaceMarker(const ProgramValues& values, int64_t n, int64_t k);

// ---- The two changes of the live tree ----

// Puts staged in target's place: marker made and synced, the live target (when there is
// one) moved to aside, staged moved in, the parents synced, the marker removed. staged must
// be synced already. A failed move-in puts the live folder back and throws; when even that
// fails the marker stays for recovery and the error says where the old data are.
void SwapIntoPlace(FileSystem& fs, const ProgramValues& values, const std::string& staged,
                   const std::string& target, const std::string& aside, const std::string& marker);

// Moves staged (synced) to target, then runs registerRow; marker made before the move and
// removed after the row, so that recovery can take back a folder whose row never came.
// A registerRow that throws gets the folder moved back to staged before the error goes on.
void PlaceThenRegister(FileSystem& fs, const ProgramValues& values, const std::string& staged,
                       const std::string& target, const std::string& marker,
                       const std::function<void()>& registerRow);

// Deletes a folder so that a kill midway leaves no copy that looks whole: renamed to a
// ".deleting-" name beside it first.
void DeleteWhole(FileSystem& fs, const std::string& folder);

// The clock's local time as YYYYMMDD-HHMMSS.
std::string Stamp(Clock& clock);

}  // namespace vornback
