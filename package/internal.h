// Helpers shared by the package sources; not part of the module's interface.
#ifndef PACKAGE_INTERNAL_H_
#define PACKAGE_INTERNAL_H_

#include <cstdint>
#include <span>

#include "package/package.h"

namespace package {

// False for the invalid handle and for a null one.
bool IsValid(PackageHandle handle);
// The header copy of an open package, decoded.
PackageHeader HeaderOf(const PackageRecord& record);

// Every read of the package file goes through these three.  Before a signature check
// they are the file's own calls; after a successful one (record.verified.active) they
// work on the file as it was hashed and hand on verified bytes only.
//
// Positions the next read at `offset` from the file's start; false when that fails.
bool SeekTo(PackageRecord& record, std::uint32_t offset);
// Reads up to buffer.size() bytes from the position and moves it on, like ReadFile: true
// with *read set (0 at or past the end); false with *read = 0 when the file cannot be
// read or, verified, a block of it no longer matches what was hashed.
bool ReadPackage(PackageRecord& record, std::span<std::uint8_t> buffer, std::uint32_t* read);
// The file's size (low 32 bits, the high part in *high), or kInvalidFileSize.
std::uint32_t PackageFileSize(const PackageRecord& record, std::uint32_t* high);

}  // namespace package

#endif  // PACKAGE_INTERNAL_H_
