#pragma once
// The guard that keeps the engine from filling the disk. While the file system of the
// working folder has less free space than 5 % of its size or 1 GiB, whichever is larger,
// the trace log makes no further numbered copy (the oldest is replaced) and no article file
// is written. The free space is looked at no more than once a second of the system clock;
// the user is told once on stderr each time space runs short (and the engine puts the same
// message in the status list).
#include <cstdint>
#include <string>

// True while space is short. Cheap: most calls only read the last answer.
bool DiskSpaceLow();
// True when space was short at any moment since start (or the last reset): the run's
// summary says so.
bool DiskSpaceWasLow();
// How many times space has run short since start (or the last reset), and what to tell the
// user about the latest time: a front end or the engine shows it once per time.
std::uint64_t DiskSpaceLowEpisodes();
std::string DiskSpaceLowMessage();
// Forgets the last look and the history (a new run, a test).
void ResetDiskSpaceGuard();

// The free space below which the guard holds, for a file system of totalBytes.
std::uint64_t DiskSpaceReserve(std::uint64_t totalBytes);
