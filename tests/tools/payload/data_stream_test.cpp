// The streaming decoders of the payload extractor, fed in awkward pieces, and the patch engine
// on patches made by the bsdiff program.
#include <gtest/gtest.h>

#include <random>

#include "bspatch.h"
#include "data_stream.h"
#include "payload_writer.h"
#include "test_support.h"

using namespace orvex::payload;
using namespace orvex::test;
namespace pw = orvex::test::payload_writer;

namespace {

// Hands out its bytes in pieces of varying small sizes.
class TrickleSource : public ByteSource {
 public:
  explicit TrickleSource(std::string d) : d_(std::move(d)) {}
  size_t Read(uint8_t* buf, size_t n) override {
    size_t k = std::min({n, d_.size() - pos_, size_t(1 + rng_() % 5000)});
    std::copy(d_.begin() + pos_, d_.begin() + pos_ + k, buf);
    pos_ += k;
    return k;
  }

 private:
  std::string d_;
  size_t pos_ = 0;
  std::mt19937 rng_{7};
};

std::string DecodeAll(Codec c, const std::string& blob, size_t piece) {
  TrickleSource in(blob);
  auto dec = MakeDecoder(c, in);
  std::string out;
  std::vector<uint8_t> buf(piece);
  while (size_t n = dec->Read(buf.data(), buf.size())) out.append(reinterpret_cast<char*>(buf.data()), n);
  return out;
}

std::string SampleData() {
  std::string s;
  std::mt19937 rng(3);
  while (s.size() < 3u << 20) {
    if (rng() % 4 == 0) for (int i = 0; i < 3000; ++i) s += static_cast<char>(rng());
    else s += std::string(rng() % 20000, static_cast<char>('a' + rng() % 26)) + "text " + std::to_string(rng());
  }
  return s;
}

}  // namespace

TEST(PayloadDecoders, EveryCodecStreamsInAnyPieceSizeAndNoticesTruncation) {
  const std::string data = SampleData();
  const std::pair<Codec, pw::Comp> codecs[] = {{Codec::kBzip2, pw::Comp::kBzip2},
                                               {Codec::kXz, pw::Comp::kXz},
                                               {Codec::kZstd, pw::Comp::kZstd},
                                               {Codec::kBrotli, pw::Comp::kBrotli}};
  for (auto [codec, comp] : codecs) {
    SCOPED_TRACE(CodecName(codec));
    const std::string blob = pw::Compress(comp, data);
    for (size_t piece : {size_t(1) << 20, size_t(4093), size_t(65536 * 3)})
      EXPECT_TRUE(DecodeAll(codec, blob, piece) == data) << piece;
    try {
      DecodeAll(codec, blob.substr(0, blob.size() * 2 / 3), 1 << 20);
      ADD_FAILURE() << "a cut blob decoded";
    } catch (const PayloadError& e) {
      EXPECT_NE(std::string(e.what()).find("ends early"), std::string::npos) << e.what();
    }
  }
}

// A decoder that gives back the same data whatever it got would pass the round trips above; one
// that reads past its blob would not stop at the right place: a second stream after the first.
TEST(PayloadDecoders, ConcatenatedStreamsAreOneBlob) {
  const std::string a(300000, 'a'), b = "and then something else";
  EXPECT_EQ(DecodeAll(Codec::kBzip2, pw::Compress(pw::Comp::kBzip2, a) + pw::Compress(pw::Comp::kBzip2, b), 1 << 20),
            a + b);
  EXPECT_EQ(DecodeAll(Codec::kXz, pw::Compress(pw::Comp::kXz, a) + pw::Compress(pw::Comp::kXz, b), 1 << 20), a + b);
  EXPECT_EQ(DecodeAll(Codec::kZstd, pw::Compress(pw::Comp::kZstd, a) + pw::Compress(pw::Comp::kZstd, b), 1 << 20),
            a + b);
}

class StringOld : public OldData {
 public:
  explicit StringOld(std::string s) : s_(std::move(s)) {}
  uint64_t size() const override { return s_.size(); }
  void ReadAt(uint64_t pos, uint8_t* buf, size_t n) const override { std::copy_n(s_.data() + pos, n, buf); }

 private:
  std::string s_;
};

TEST(BsPatch, PatchesOfTheBsdiffProgramInEveryEncoding) {
  if (!HaveProgram("bsdiff")) GTEST_SKIP() << "bsdiff missing";
  TempDir t;
  std::string old = SampleData().substr(0, 700000), fresh = old;
  fresh.replace(1000, 5000, std::string(5000, 'Z'));
  fresh.insert(300000, "an insertion that shifts everything after it");
  fresh.erase(500000, 70000);
  fresh += "a new tail";
  for (const std::vector<int>& codes : std::vector<std::vector<int>>{{}, {0, 0, 0}, {1, 2, 0}, {2, 2, 2}}) {
    SCOPED_TRACE(codes.empty() ? std::string("BSDIFF40") : "BSDF2 " + std::to_string(codes[0]) +
                                                               std::to_string(codes[1]) + std::to_string(codes[2]));
    const std::string patch = pw::MakePatch(old, fresh, t.str(), codes);
    WriteFile(t / "blob", "prefix" + patch + "suffix");
    InputFile f((t / "blob").string());
    std::string got;
    const uint64_t n = ApplyBsPatch(f, 6, patch.size(), StringOld(old), fresh.size(),
                                    [&](const uint8_t* d, size_t k) { got.append(reinterpret_cast<const char*>(d), k); });
    EXPECT_EQ(n, fresh.size());
    EXPECT_TRUE(got == fresh);
    // The destination is too small for what the patch announces.
    EXPECT_THROW(ApplyBsPatch(f, 6, patch.size(), StringOld(old), fresh.size() - 1, [](const uint8_t*, size_t) {}),
                 PayloadError);
    // The patch cut short.
    EXPECT_THROW(ApplyBsPatch(f, 6, patch.size() - patch.size() / 3, StringOld(old), fresh.size(),
                              [](const uint8_t*, size_t) {}),
                 PayloadError);
  }
}
