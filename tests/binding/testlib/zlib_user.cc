// A board support library that uses zlib for its own work without defining crc32: the
// binding must not take zlib's crc32, reached through this library's dependencies, for
// an entry of this library.
#include <zlib.h>

#include "tests/binding/testlib/testlib.h"

extern "C" void GreenLed(std::int32_t on) {
  const unsigned char byte = static_cast<unsigned char>(on);
  testlib::Record("GreenLed", {on, static_cast<long long>(::crc32(0, &byte, 1))});
}
