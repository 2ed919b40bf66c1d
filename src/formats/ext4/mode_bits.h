#pragma once
// The Linux file type bits of a mode, as ext4 stores them and as the config files and the trees
// of this library pass them around, whatever the host's own stat constants are.
#include <cstdint>

namespace orvex::ext4 {

constexpr uint32_t kTypeMask = 0170000;
constexpr uint32_t kTypeFifo = 0010000;
constexpr uint32_t kTypeChar = 0020000;
constexpr uint32_t kTypeDir = 0040000;
constexpr uint32_t kTypeBlock = 0060000;
constexpr uint32_t kTypeFile = 0100000;
constexpr uint32_t kTypeLink = 0120000;
constexpr uint32_t kTypeSocket = 0140000;

}  // namespace orvex::ext4
