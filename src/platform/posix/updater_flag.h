// The sign that an updater holds or waits for a file, so that readers do
// not keep it from the file.
//
// Readers take a shared flock on the file while they load it, so that no
// in-place write starts meanwhile (platform/read_file.h).  Readers that
// follow each other closely could then hold the file shared without a
// pause, and an updater waiting for its exclusive flock would never get
// it.  So an updater first puts a write lock (an open file description
// lock, which only a descriptor open for writing can take) on one byte far
// past any end of file, and holds it until it closes; a reader that finds
// it takes no shared flock and reads a copy instead.  The sign is advisory
// and best effort: where it cannot be put, readers only delay the updater.
#pragma once

// Puts the sign on fd (open for writing).
void platAnnounceUpdater(int fd);

// Takes the sign off fd again.
void platWithdrawUpdater(int fd);

// True when some updater's sign is on the file fd is open on.
bool platUpdaterPresent(int fd);
