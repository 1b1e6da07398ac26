// The three restore types beyond "Full Firm": "Selected Year" (one year of an archive
// over a year of the current firm), "Add Firm" (an archive as a new firm) and "Add Year"
// (a year of an archive as a new year of the current firm). Each shows its messages
// through the context's dialogs and ends the program (ProgramEnd) where it refuses.
#pragma once

namespace vornback {

struct RestoreContext;

void SelectedYear(RestoreContext& ctx);
void AddFirm(RestoreContext& ctx);
void AddYear(RestoreContext& ctx);

}  // namespace vornback
