#pragma once
// The text layout of lpdump: metadata summary, partition table, super partition layout, block
// device table and group table.
#include <string>

#include "lp/lp_metadata.h"

namespace orvex::lp {

std::string DumpText(const Metadata& m);

}  // namespace orvex::lp
