#pragma once
// The Amlogic multi-DTB container ("AML_" header, an entry table of soc/platform/variant ids with
// the offset and padded size of each tree, the trees on page boundaries) and the few facts of a
// flattened device tree that splitting and rebuilding need. Every offset, size and count read
// from a file is checked before use; a bad input gives Error, never a read outside the data.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::multidtb {

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline constexpr uint32_t kFdtMagic = 0xD00DFEED;
inline constexpr uint32_t kDefaultPageSize = 2048;
inline constexpr uint32_t kMaxEntries = 1024;
// Larger than any device-tree partition: what a gzip-compressed container may expand to.
inline constexpr uint64_t kMaxContainerBytes = 64ull << 20;

// Length of each id field: 4 bytes in version 1, 16 in version 2.
uint32_t IdLength(uint32_t version);
uint32_t EntrySize(uint32_t version);

struct Entry {
  std::string soc, plat, vari;
  uint32_t offset = 0;  // from the start of the container
  uint32_t size = 0;    // the padded slot
  uint32_t fdtSize = 0; // the tree's own totalsize
};

struct Container {
  uint32_t version = 2;
  std::vector<Entry> entries;
};

bool IsContainer(std::string_view data);  // "AML_" at 0
bool IsFdt(std::string_view data);        // 0xD00DFEED at 0
bool IsGzip(std::string_view data);       // 1F 8B

// Parses the header and the entry table and checks each entry's slot and tree against the data.
Container Parse(std::string_view data);

// The tree stored in one entry: its totalsize bytes from the entry's offset.
std::string_view TreeBytes(std::string_view data, const Entry& e);

// Checks the FDT header of a whole tree (magic, totalsize within the data, blocks within
// totalsize) and returns its totalsize.
uint32_t CheckFdt(std::string_view fdt);

// The value of a string property of the root node ("amlogic-dt-id"); false when absent.
bool RootStringProperty(std::string_view fdt, std::string_view name, std::string* value);

// Splits "soc_plat_vari" at its first two underscores (the variant keeps any further ones).
bool SplitDtId(std::string_view id, std::string* soc, std::string* plat, std::string* vari);

// The file name a tree is written under: soc-plat-vari.dtb, with every byte outside
// [A-Za-z0-9._+] turned into '_' and a name made only of dots replaced, so that it can never
// leave the folder it is written to.
std::string TreeFileName(const Entry& e);

// One tree for Build: its ids and its bytes.
struct Tree {
  std::string soc, plat, vari;
  std::string fdt;
  std::string source;  // for messages: where the tree came from
};

struct Layout {
  uint32_t version = 2;
  uint32_t pageSize = kDefaultPageSize;
};

// Padding after `length` bytes: a whole page even when length is already page-aligned, as the
// containers written by the vendor's builder have it.
uint64_t PaddedLength(uint64_t length, uint32_t pageSize);

// Builds the container: trees sorted by (soc, plat, vari) byte-wise; duplicate ids, ids longer
// than the version's field and empty trees are errors.
std::string Build(std::vector<Tree> trees, const Layout& layout);

// gunzips data (one or more members), giving up with Error past `limit` output bytes.
std::string Gunzip(std::string_view data, uint64_t limit);

}  // namespace orvex::multidtb

namespace orvex::multidtb {

// The layout file dtbSplit leaves beside the trees so that dtbTool rebuilds the same container:
// "Version: 1|2" (or "Version: none" for a bare tree that was only gzip-compressed) and
// "PageSize: N", CR LF lines.
inline constexpr const char* kLayoutFile = "multidtb.cfg";
std::string LayoutText(uint32_t version, uint32_t pageSize);
// Reads it; version 0 stands for a bare tree. False when a value is unusable.
bool ParseLayoutText(std::string_view text, uint32_t* version, uint32_t* pageSize);
// The page size a container was built with: the largest power of two up to 64 KiB that its
// first tree's offset and every slot are multiples of, reduced until the header padding matches.
uint32_t GuessPageSize(const Container& c);

}  // namespace orvex::multidtb
