// Removing half-written files when the program is interrupted.
//
// The solids are written under temporary names and renamed over their
// targets only when both are complete, so an interrupted conversion leaves
// its targets as they were; what is left to do on SIGINT or SIGTERM is to
// remove the temporaries. They are kept in a fixed table of fixed-size paths
// that the signal handler can walk without allocating or locking; it unlinks
// them and ends the process with status 128 + the signal's number. SIGKILL
// cannot be caught: its leftovers are removed by the next conversion to the
// same targets (remove_stale_temporaries).
#pragma once

namespace foilcad {

// Installs the handler for SIGINT, SIGTERM and SIGHUP. Called by the mains;
// without it the table is kept all the same and costs nothing.
void install_signal_cleanup();

// Records path as a file to remove on a signal. Returns a slot for
// forget_temporary, or -1 when the table is full or the path too long (the
// file is then left to the next conversion, like after SIGKILL).
int remember_temporary(const char* path);

// Forgets a slot from remember_temporary once its file is renamed or removed;
// -1 is ignored.
void forget_temporary(int slot);

// While a commit is open, a signal is held back, and acted on when the
// commit closes: renaming two files over their targets is not cut between
// the two. Commits do not nest.
void begin_commit();
void end_commit();

}  // namespace foilcad
