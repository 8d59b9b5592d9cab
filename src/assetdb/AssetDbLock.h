// The patcher's side of the asset database lock. The product's programs (the simulator,
// Depotrix, the utility tool) coordinate their use of the asset database through a
// 36-byte record in a named shared section guarded by a named mutex, both named after
// the database's directory; a program that wants the database for itself takes it
// exclusively. The lock is process-wide: one database at a time. Its operations may be
// called from any thread, one at a time in effect (they serialise on a local lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The shared record, little-endian as the product lays it out.
struct AssetDbShared {
    std::uint32_t hostPid;        // the process that created or took over the record
    std::uint32_t ownerPid;       // the process that owns the database now
    std::uint32_t requesterPid;   // the process queued to own it next
    std::uint32_t changeCounter;  // bumped by the product's programs on a change
    std::uint32_t layoutVersion;  // 3 when this system creates it; 0 is an older layout
    std::int8_t attachedCount;    // processes attached; 1 at creation
    std::uint8_t padding1[3];
    std::uint32_t exclusivePid;       // the process with exclusive use; 0 = none
    std::uint8_t exclusiveSuspended;  // 1 while the exclusive holder lets others attach
    std::uint8_t padding2[3];
    std::uint32_t hostValue;  // published by the host to the others
};
static_assert(sizeof(AssetDbShared) == 36);
static_assert(offsetof(AssetDbShared, attachedCount) == 20);
static_assert(offsetof(AssetDbShared, exclusivePid) == 24);
static_assert(offsetof(AssetDbShared, exclusiveSuspended) == 28);
static_assert(offsetof(AssetDbShared, hostValue) == 32);

// "No process" in the pid fields.
constexpr std::uint32_t kAssetDbNoPid = 0xFFFFFFFFu;
constexpr std::uint32_t kAssetDbLayoutVersion = 3;

// The names of the lock's mutex and section for a database file path (narrow text),
// or false when the path does not end in "assets.tdx" exactly once (any case).
// The mutex is "09731AC6-B611-4e2a-B181-578073F64F24/" and the directory lowercased
// (A-Z only), without leading separators, "\" turned into "/"; the section is the
// mutex name and "/-ipc2". Names are never cut: a cut name could make two
// installations share one lock.
bool AssetDbObjectNames(const std::string& databasePath, std::string* mutexName,
                        std::string* sectionName);

// Attaches to the database's lock, creating the record when no program has it open.
// True at once when the lock is already open. False when the path is not a database
// path, its directory is missing, the objects cannot be made, or another process holds
// the database exclusively (unless `allowWhileSuspended` and the holder suspended it).
bool AssetDbOpen(const std::string& databasePath, bool allowWhileSuspended);
// The attached count as a signed value (a count of 255 reads -1); 0 without a record.
int AssetDbAttachedCount();
// Takes ownership when nobody owns the database and nobody else is queued; otherwise,
// with `request`, queues this process when the queue is empty. True when owning.
bool AssetDbTryTakeOwnership(bool request);
// Takes exclusive use when nobody has it, at most this process is attached and
// ownership can be taken.
bool AssetDbTryTakeExclusive();
void AssetDbReleaseExclusive();
// Gives up ownership and this process's attachment and closes the objects.
void AssetDbClose();

// Takes the installation's database exclusively for a patch session: up to five
// attempts (open, check that this process is the only one attached, take exclusive
// use), 2000 ms apart, sleeping after each failed one. On success the lock stays open
// and exclusive. The installation path is wide text in internal form; the database
// path is built from it with NarrowFileSystemPath, as the product's programs build it.
bool AcquireAssetDatabase(const std::wstring& installPath);
// The same with another number of attempts and pause, for callers that must not wait
// ten seconds (tests, tools).
bool AcquireAssetDatabase(const std::wstring& installPath, int attempts,
                          std::uint32_t retryDelayMs);
