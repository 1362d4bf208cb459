// Test-only controls of the storage service (included by <platform_testing.h>).
//
// Besides the public operations ("StgOpenStorage", "IStream::Read", ...), the save path consults
// these fault names, so tests can make one step of an atomic save fail:
//   "storage.write"   each write of the new image (arm with STG_E_MEDIUMFULL to act as a full disk)
//   "storage.fsync"   the flush of the new image to disk
//   "storage.rename"  the replacement of the old file by the new one (consulted before the check
//                     that the temporary name still leads to the new image)
//   "storage.mark"    the record that marks the new image as a save's (arm it to act as a file
//                     system that keeps no extended attributes: the image is then unmarked)
#pragma once

#include <cstddef>

#include "base/wintypes.h"

struct IStorage;

namespace platform::testing {

// Opens a byte buffer as a read-only compound file (the buffer is copied). Used by the fuzz
// target and by tests that build damaged images in memory.
PLATFORM_API HRESULT OpenStorageOnMemory(const void* data, size_t size, IStorage** storage);

// Sector size of the files StgCreateDocfile makes from now on: 512 (format version 3, the
// default) or 4096 (version 4). Reset to 512 between tests.
PLATFORM_API void SetNewDocfileSectorSize(unsigned bytes);

// The name of the temporary file of the last save that this process started (empty
// before the first), so tests can check that a failed save leaves nothing behind.
PLATFORM_API const char* LastSaveTemporaryPath();

}  // namespace platform::testing
