// Decoding speed of the EROFS reader without the file system in the way: every regular file of
// each image given is read ROUNDS times in this process (one thread), and the decoded bytes per
// second are printed with the peak resident memory. Built and run by bench_modern.sh.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "erofs_image.h"
#include "erofs_walk.h"

namespace {

namespace er = orvex::erofs;

class ReadAll : public er::WalkVisitor {
 public:
  explicit ReadAll(const er::Image& img) : img_(img) {}
  void Visit(const er::WalkEntry& e) override {
    if (e.inode.type != er::FileType::kRegular || e.link_target) return;
    img_.ReadData(e.inode, [this](uint64_t, const uint8_t*, size_t n) { bytes += n; }, &scratch_);
  }
  uint64_t bytes = 0;

 private:
  const er::Image& img_;
  er::ReadScratch scratch_;
};

}  // namespace

int main(int argc, char** argv) {
  const int rounds = std::getenv("ROUNDS") ? std::atoi(std::getenv("ROUNDS")) : 200;
  for (int i = 1; i < argc; ++i) {
    try {
      std::shared_ptr<const er::Source> src = er::FileSource::Open(argv[i]);
      uint64_t bytes = 0;
      const auto start = std::chrono::steady_clock::now();
      for (int r = 0; r < rounds; ++r) {
        er::Image img(src);  // a fresh image each round: caches and inode streams start cold
        ReadAll v(img);
        er::WalkTree(img, v);
        bytes += v.bytes;
      }
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      rusage ru{};
      getrusage(RUSAGE_SELF, &ru);
      std::printf("%-40s %8.1f MiB/s decoded  (%d rounds, %.2f s, peak RSS %.1f MiB)\n", argv[i],
                  static_cast<double>(bytes) / s / 1048576.0, rounds, s, ru.ru_maxrss / 1024.0);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", argv[i], e.what());
      return 1;
    }
  }
  return 0;
}
