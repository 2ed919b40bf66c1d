// libFuzzer target: the fuzz input is an EROFS image in memory. The whole tree is walked and every
// file, symbolic link and attribute is read, as extract.erofs does. Only orvex::erofs::Error may
// come out of the reader; anything else (a crash, a sanitizer report, a leak) is a finding.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "erofs_image.h"
#include "erofs_walk.h"

namespace {

class ReadEverything : public orvex::erofs::WalkVisitor {
 public:
  explicit ReadEverything(const orvex::erofs::Image& img) : img_(img) {}
  void Visit(const orvex::erofs::WalkEntry& e) override {
    for (const auto& x : img_.ReadXattrs(e.inode)) sum_ += x.name.size() + x.value.size();
    if (e.inode.IsCompressed()) sum_ += img_.ReadCompressionInfo(e.inode).whole_fragment;
    switch (e.inode.type) {
      case orvex::erofs::FileType::kSymlink: sum_ += img_.ReadSymlink(e.inode).size(); break;
      case orvex::erofs::FileType::kRegular:
        if (!e.link_target)
          img_.ReadData(e.inode, [this](uint64_t, const uint8_t* p, size_t n) { sum_ += p && n ? p[n - 1] : 0; },
                        &scratch_);
        break;
      default: break;
    }
  }
  void Skip(const std::string&, const std::string& name, const std::string&) override { sum_ += name.size(); }
  uint64_t sum() const { return sum_; }

 private:
  const orvex::erofs::Image& img_;
  orvex::erofs::ReadScratch scratch_;
  uint64_t sum_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    auto src = std::make_shared<orvex::erofs::MemorySource>(data, size);
    orvex::erofs::Image img(src, 8);
    ReadEverything v(img);
    orvex::erofs::WalkLimits limits;
    orvex::erofs::WalkTree(img, v, limits);
    volatile uint64_t sink = v.sum();
    (void)sink;
  } catch (const orvex::erofs::Error&) {
  }
  return 0;
}
