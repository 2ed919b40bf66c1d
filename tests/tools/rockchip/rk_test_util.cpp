#include "rk_test_util.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace orvex::test {

uint32_t RkCrcBitwise(const std::string& bytes) {
  uint32_t crc = 0;
  for (unsigned char c : bytes) {
    crc ^= uint32_t(c) << 24;
    for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C10DB7u : crc << 1;
  }
  return crc;
}

static std::string DigestOf(const EVP_MD* md, const std::string& bytes) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), out, &n, md, nullptr);
  return std::string(reinterpret_cast<char*>(out), n);
}

std::string Md5Hex(const std::string& bytes) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (unsigned char c : DigestOf(EVP_md5(), bytes)) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

std::string Sha1(const std::string& bytes) { return DigestOf(EVP_sha1(), bytes); }

void Put32At(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
uint32_t Get32At(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

std::string Wrap(const std::string& tag, const std::string& data) {
  std::string out = tag + std::string(4, '\0') + data + std::string(4, '\0');
  Put32At(out, 4, static_cast<uint32_t>(data.size()));
  Put32At(out, 8 + data.size(), RkCrcBitwise(data));
  return out;
}

std::string BuildRkaf(const std::vector<RkafFile>& files, uint32_t version, const std::string& model) {
  std::string img(2048, '\0');
  std::memcpy(&img[0], "RKAF", 4);
  std::memcpy(&img[8], model.data(), model.size());
  std::memcpy(&img[0x2A], "007", 3);
  std::memcpy(&img[0x48], "RK3399", 6);
  Put32At(img, 0x84, version);
  Put32At(img, 0x88, static_cast<uint32_t>(files.size()));
  std::vector<uint32_t> pos(files.size()), size(files.size()), padded(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    const RkafFile& f = files[i];
    if (f.file == "SELF" || f.file == "RESERVED") continue;
    const std::string data = f.name == "parameter" ? Wrap("PARM", f.data) : f.data;
    pos[i] = static_cast<uint32_t>(img.size());
    size[i] = static_cast<uint32_t>(data.size());
    padded[i] = static_cast<uint32_t>((data.size() + 2047) / 2048 * 2048);
    img += data;
    img.resize((img.size() + 2047) / 2048 * 2048, '\0');
  }
  Put32At(img, 4, static_cast<uint32_t>(img.size()));
  for (size_t i = 0; i < files.size(); ++i) {
    const size_t e = 0x8C + i * 0x70;
    std::memcpy(&img[e], files[i].name.data(), files[i].name.size());
    std::memcpy(&img[e + 0x20], files[i].file.data(), files[i].file.size());
    if (files[i].file == "SELF") {
      size[i] = static_cast<uint32_t>(img.size() + 4);
      padded[i] = (size[i] + 511) / 512 * 512;
    }
    Put32At(img, e + 0x5C, files[i].nandSize);
    Put32At(img, e + 0x60, pos[i]);
    Put32At(img, e + 0x64, files[i].nandAddr);
    Put32At(img, e + 0x68, padded[i]);
    Put32At(img, e + 0x6C, size[i]);
  }
  const uint32_t crc = RkCrcBitwise(img);
  img += std::string(4, '\0');
  Put32At(img, img.size() - 4, crc);
  return img;
}

std::string BuildRkfw(const std::string& loader, const std::string& rkaf) {
  std::string h(0x66, '\0');
  std::memcpy(&h[0], "RKFW", 4);
  h[4] = 0x66;
  Put32At(h, 6, Get32At(rkaf, 0x84));
  Put32At(h, 0x0A, 0x01030000);
  h[0x0E] = static_cast<char>(2019 & 0xFF);
  h[0x0F] = static_cast<char>(2019 >> 8);
  h[0x10] = 3;
  h[0x11] = 14;
  h[0x12] = 15;
  h[0x13] = 9;
  h[0x14] = 26;
  Put32At(h, 0x15, 0x33333043);
  Put32At(h, 0x19, 0x66);
  Put32At(h, 0x1D, static_cast<uint32_t>(loader.size()));
  Put32At(h, 0x21, static_cast<uint32_t>(0x66 + loader.size()));
  Put32At(h, 0x25, static_cast<uint32_t>(rkaf.size()));
  Put32At(h, 0x2D, 1);
  const std::string body = h + loader + rkaf;
  return body + Md5Hex(body);
}

std::vector<RkafEntryView> ReadRkaf(const std::string& rkaf) {
  std::vector<RkafEntryView> out;
  EXPECT_EQ(rkaf.substr(0, 4), "RKAF");
  const uint32_t length = Get32At(rkaf, 4);
  EXPECT_EQ(length + 4u, rkaf.size());
  EXPECT_EQ(Get32At(rkaf, length), RkCrcBitwise(rkaf.substr(0, length))) << "RKAF CRC";
  const uint32_t n = Get32At(rkaf, 0x88);
  for (uint32_t i = 0; i < n; ++i) {
    const size_t e = 0x8C + i * 0x70;
    out.push_back({rkaf.substr(e, 32).c_str(), rkaf.substr(e + 0x20, 60).c_str(), Get32At(rkaf, e + 0x5C),
                   Get32At(rkaf, e + 0x60), Get32At(rkaf, e + 0x64), Get32At(rkaf, e + 0x68), Get32At(rkaf, e + 0x6C)});
    EXPECT_EQ(out.back().pos % 2048, 0u) << out.back().name;
  }
  return out;
}

std::string RkafOfRkfw(const std::string& rkfw) {
  EXPECT_EQ(rkfw.substr(0, 4), "RKFW");
  const uint32_t imageOff = Get32At(rkfw, 0x21), imageLen = Get32At(rkfw, 0x25);
  EXPECT_EQ(imageOff, 0x66 + Get32At(rkfw, 0x1D));
  EXPECT_EQ(size_t(imageOff) + imageLen + 32, rkfw.size());
  EXPECT_EQ(rkfw.substr(rkfw.size() - 32), Md5Hex(rkfw.substr(0, rkfw.size() - 32))) << "RKFW MD5";
  return rkfw.substr(imageOff, imageLen);
}

std::string BuildLoader(const std::string& payload, uint32_t loadAddr, uint32_t copySize, int copies) {
  std::string p = payload;
  p.resize((p.size() + 3) / 4 * 4, '\0');
  std::string h(2048, '\0');
  std::memcpy(&h[0], "LOADER  ", 8);
  Put32At(h, 16, loadAddr);
  Put32At(h, 20, static_cast<uint32_t>(p.size()));
  Put32At(h, 24, RkCrcBitwise(p));
  Put32At(h, 28, 20);
  std::string tail(12, '\0');
  Put32At(tail, 0, loadAddr);
  Put32At(tail, 4, static_cast<uint32_t>(p.size()));
  Put32At(tail, 8, 20);
  const std::string hash = Sha1(p + tail);
  std::memcpy(&h[32], hash.data(), 20);
  std::string copy = h + p;
  copy.resize(copySize, '\0');
  std::string out;
  for (int i = 0; i < copies; ++i) out += copy;
  return out;
}

CommandResult Rk(const std::string& args, const std::string& build) {
  return RunCommand(ShQuote((BinDir() / ("imgRePackerRK" + build)).string()) + " " + args + " 2>&1");
}

std::vector<std::string> ListFiles(const fs::path& dir) {
  std::vector<std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (!e.is_directory()) out.push_back(fs::relative(e.path(), dir).string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace orvex::test
