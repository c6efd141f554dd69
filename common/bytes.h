// Reading a byte of a text where the byte before its start and those past its
// end read as 0, as the compaction and its traces expect.
#ifndef KEXO_COMMON_BYTES_H_
#define KEXO_COMMON_BYTES_H_

#include <cstdint>
#include <string_view>

namespace kexo {

// Returns s[i], or the byte 0 when i lies outside s.
inline char byte_en(std::string_view s, std::int64_t i) {
    return i >= 0 && i < static_cast<std::int64_t>(s.size()) ? s[static_cast<std::size_t>(i)]
                                                             : '\0';
}

}  // namespace kexo

#endif  // KEXO_COMMON_BYTES_H_
