#pragma once
// The two directions between a partition image and a full-update transfer list with its data
// file. Both stream: whole runs of blocks are moved with large reads and writes, and memory does
// not grow with the image.
#include <cstdint>
#include <functional>
#include <string>

#include "transfer_list/transfer_list.h"

namespace orvex::transfer_list {

// Reports bytes done out of a total as the work goes on.
using Progress = std::function<void(uint64_t done, uint64_t total)>;

// Writes the image that `list` describes to out_fd (an empty regular file): the `new` blocks come
// in order from data_fd, every other block is left as a hole that reads as zeros. The data file
// must hold at least the blocks the list takes from it; a longer one is used up to that point and
// noted in *unused_bytes.
bool RebuildImage(const TransferList& list, int data_fd, int out_fd, const Progress& progress,
                  uint64_t* unused_bytes, std::string* error);

// Builds a full-update list of `version` (1 to 4) from an Android sparse or raw image with
// 4096-byte blocks. Blocks that hold data become `new` (their bytes appended to data_fd in
// command order), blocks of zeros become `zero`, blocks a sparse image leaves out ("don't care")
// are erased, except for a margin of 512 blocks around the used ones that is zeroed as well (the
// device's verity reads ahead into it).
bool BuildTransferList(int image_fd, int version, int data_fd, TransferList* list, const Progress& progress,
                       std::string* error);

// Blocks per `new` or `zero` command written by BuildTransferList.
inline constexpr uint64_t kBlocksPerCommand = 1024;
// The zeroed margin around used blocks.
inline constexpr uint64_t kVerityMarginBlocks = 512;

}  // namespace orvex::transfer_list
