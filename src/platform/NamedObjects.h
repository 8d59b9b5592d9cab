// Named objects shared between processes, shaped after the Win32 named mutex
// (CreateMutex with a name) and the page-file-backed file mapping (CreateFileMapping,
// OpenFileMapping, MapViewOfFile). They keep the Win32 lifetimes the product's programs
// rely on:
// - an object exists exactly while some live process holds a handle to it; a view of a
//   section keeps its memory (on POSIX its name too); whatever a record held when its
//   last holder ended is gone, and the next creator gets a fresh, zeroed object;
// - a named mutex owned by a process that ends without releasing it is abandoned: the
//   next wait acquires it and returns kWaitAbandoned, so a crashed holder cannot
//   wedge the others;
// - opening a name that this process already has open gives another handle to the
//   same object.
// Names are case-sensitive and of any length (the backend hashes what its file names
// cannot hold rather than cutting, so two long names never collide).
#pragma once

#include <cstddef>
#include <string>

#include "platform/Sync.h"
#include "platform/Win32Types.h"

namespace Platform {

// Creates the named mutex or opens the existing one. The last error is
// Error::AlreadyExists when it existed, and the initial ownership is then not granted,
// or Error::Success when this call created it. Null (last error set) on failure.
// The handle works with WaitForSingleObject, ReleaseMutex and CloseHandle; ownership
// is per thread and recursive, as for any Win32 mutex.
Handle CreateMutex(bool initiallyOwned, const std::string& name);

// Creates a named shared section of `size` bytes, all zero, or opens the existing one
// (which keeps its own size). The last error is Error::AlreadyExists or Error::Success
// as for CreateMutex. Null (last error set) on failure.
Handle CreateFileMapping(const std::string& name, std::size_t size);
// Opens an existing named section; null with Error::FileNotFound when none exists.
Handle OpenFileMapping(const std::string& name);
// Maps the first `size` bytes of the section for reading and writing. Null with
// Error::InvalidParameter when the section is smaller (Windows counts a section's size
// in whole pages). A view keeps the section's memory after its handle is closed.
void* MapViewOfFile(Handle section, std::size_t size);
bool UnmapViewOfFile(void* view);

}  // namespace Platform
