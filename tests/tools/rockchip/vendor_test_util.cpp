#include "vendor_test_util.h"

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

std::string BuildWty(const std::vector<WtyFile>& files) {
  std::string img(1024 * (files.size() + 1), '\0');
  std::memcpy(&img[0], "IMAGEWTY", 8);
  Put32At(img, 0x08, 0x0300);
  Put32At(img, 0x0C, 0x60);
  Put32At(img, 0x10, 0x04D00000);
  Put32At(img, 0x14, 0x100234);
  Put32At(img, 0x20, 1024);
  Put32At(img, 0x24, 0x1234);
  Put32At(img, 0x28, 0x8743);
  Put32At(img, 0x2C, 0x100);
  Put32At(img, 0x30, 0x100);
  Put32At(img, 0x34, 1);
  Put32At(img, 0x38, 1024);
  Put32At(img, 0x3C, static_cast<uint32_t>(files.size()));
  Put32At(img, 0x40, 1024);
  for (size_t i = 0; i < files.size(); ++i) {
    const size_t e = 1024 * (i + 1);
    Put32At(img, e, 0x100);
    Put32At(img, e + 4, 1024);
    std::string m = files[i].main, s = files[i].sub;
    m.resize(8, ' ');
    s.resize(16, ' ');
    std::memcpy(&img[e + 0x08], m.data(), 8);
    std::memcpy(&img[e + 0x10], s.data(), 16);
    std::memcpy(&img[e + 0x24], files[i].name.data(), files[i].name.size());
    Put32At(img, e + 0x124, static_cast<uint32_t>((files[i].data.size() + 15) / 16 * 16));
    Put32At(img, e + 0x12C, static_cast<uint32_t>(files[i].data.size()));
    Put32At(img, e + 0x134, static_cast<uint32_t>(img.size()));
    img += files[i].data;
    img.resize((img.size() + 1023) / 1024 * 1024, '\0');
  }
  Put32At(img, 0x18, static_cast<uint32_t>(img.size()));
  return img;
}

// Checks an image by the format's rules and returns each file's bytes by name.
std::vector<std::pair<std::string, std::string>> ReadWty(const std::string& img) {
  std::vector<std::pair<std::string, std::string>> out;
  EXPECT_EQ(img.substr(0, 8), "IMAGEWTY");
  EXPECT_EQ(Get32At(img, 0x18), img.size());
  const uint32_t n = Get32At(img, 0x3C);
  for (uint32_t i = 0; i < n; ++i) {
    const size_t e = 1024 * (i + 1);
    const uint32_t len = Get32At(img, e + 0x12C), off = Get32At(img, e + 0x134);
    EXPECT_EQ(off % 1024, 0u);
    EXPECT_GE(Get32At(img, e + 0x124), len);
    EXPECT_LE(uint64_t(off) + len, img.size());
    out.emplace_back(img.substr(e + 0x24, 256).c_str(), img.substr(off, len));
  }
  return out;
}

uint16_t Crc16Bitwise(const std::string& s, size_t from, size_t to) {
  uint16_t crc = 0;
  for (size_t i = from; i < to; ++i) {
    crc ^= static_cast<unsigned char>(s[i]);
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

static void PutUtf16(std::string& s, size_t at, const std::u16string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    s[at + 2 * i] = static_cast<char>(text[i] & 0xFF);
    s[at + 2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
}

std::string BuildPac(const std::vector<PacFile>& files, const std::u16string& version) {
  const size_t list = 2124, dataAt = list + files.size() * 2580;
  std::string pac(dataAt, '\0');
  PutUtf16(pac, 0, version);
  PutUtf16(pac, 52, u"ums9230_phone");
  PutUtf16(pac, 564, u"T606_V1.0");
  Put32At(pac, 1076, static_cast<uint32_t>(files.size()));
  Put32At(pac, 1080, static_cast<uint32_t>(list));
  for (size_t i = 0; i < files.size(); ++i) {
    const size_t e = list + i * 2580;
    Put32At(pac, e, 2580);
    PutUtf16(pac, e + 4, files[i].id);
    PutUtf16(pac, e + 516, files[i].name);
    Put32At(pac, e + 1540, static_cast<uint32_t>(files[i].data.size()));
    Put32At(pac, e + 1544, files[i].data.empty() ? 0 : 1);
    Put32At(pac, e + 1552, files[i].data.empty() ? 0 : static_cast<uint32_t>(pac.size()));
    pac += files[i].data;
  }
  Put32At(pac, 48, static_cast<uint32_t>(pac.size()));
  Put32At(pac, 2116, 0xFFFAFFFA);
  const uint16_t crc2 = Crc16Bitwise(pac, 2124, pac.size());
  const uint16_t crc1 = Crc16Bitwise(pac, 0, 2120);
  pac[2120] = static_cast<char>(crc1 & 0xFF);
  pac[2121] = static_cast<char>(crc1 >> 8);
  pac[2122] = static_cast<char>(crc2 & 0xFF);
  pac[2123] = static_cast<char>(crc2 >> 8);
  return pac;
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
