// Track names become file names: whatever the name, the file name is safe.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/text.h"
#include "writing/sink.h"

using namespace quilltap;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string name(reinterpret_cast<const char*>(data), size);
  std::string safe = safeFileName(name);
  if (safe.empty() || validUtf8(safe) != safe) abort();
  if (safe.find_first_of("/\\:*?\"<>|") != std::string::npos) abort();
  for (char32_t cp : codePoints(safe)) {
    if (isControlOrFormat(cp)) abort();
  }
  if (trimSpaces(safe) != safe) abort();
  if (safeFileName(safe) != safe) abort();  // already safe stays as it is
  return 0;
}
