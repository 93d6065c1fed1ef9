// Helpers shared by the package sources; not part of the module's interface.
#ifndef PACKAGE_INTERNAL_H_
#define PACKAGE_INTERNAL_H_

#include <cstdint>

#include "package/package.h"

namespace package {

// False for the invalid handle and for a null one.
bool IsValid(PackageHandle handle);
// The header copy of an open package, decoded.
PackageHeader HeaderOf(const PackageRecord& record);
// Positions the package file at `offset` from its start; false when that fails.
bool SeekTo(const PackageRecord& record, std::uint32_t offset);

}  // namespace package

#endif  // PACKAGE_INTERNAL_H_
