#include "bootimg/bootimg.h"

#include <cstring>

#include "bootimg/sha1.h"

namespace orvex::bootimg {

namespace {

constexpr char kBootMagic[] = "ANDROID!";
constexpr char kVendorMagic[] = "VNDRBOOT";

std::string FixedText(const uint8_t* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len]) ++len;
  return std::string(reinterpret_cast<const char*>(p), len);
}

void PutText(uint8_t* p, size_t n, const std::string& s, const char* field) {
  if (s.size() > n) throw Error(std::string(field) + " is longer than " + std::to_string(n) + " bytes");
  std::memcpy(p, s.data(), s.size());
}

bool PageSizeOk(uint32_t p) { return p >= 512 && p <= kMaxPageSize && (p & (p - 1)) == 0; }

void CheckPartsInFile(const Header& h, uint64_t file_size) {
  uint64_t end = ImageSize(h);
  if (end > file_size)
    throw Error("the header describes " + std::to_string(end) + " bytes but the file has only " +
                std::to_string(file_size));
}

}  // namespace

uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

uint32_t EffectivePageSize(const Header& h) {
  if (h.type == ImageType::Boot && h.version >= 3) return 4096;
  return h.page_size;
}

static uint64_t HeaderBytes(const Header& h) {
  uint32_t page = EffectivePageSize(h);
  if (h.type == ImageType::VendorBoot) return AlignUp(h.header_size, page);
  return page;
}

std::vector<Part> ListParts(const Header& h) {
  const uint64_t page = EffectivePageSize(h);
  std::vector<Part> parts;
  uint64_t off = HeaderBytes(h);
  auto add = [&](const char* name, uint64_t size) {
    if (size) parts.push_back({name, off, size});
    off += AlignUp(size, page);
  };
  if (h.type == ImageType::VendorBoot) {
    add("vendor_ramdisk", h.vendor_ramdisk_size);
    add("dtb", h.dtb_size);
    if (h.version >= 4) {
      add("vendor_ramdisk_table", h.table_size);
      add("bootconfig", h.bootconfig_size);
    }
    return parts;
  }
  add("kernel", h.kernel_size);
  add("ramdisk", h.ramdisk_size);
  if (h.version >= 3) {
    if (h.version >= 4) add("boot_signature", h.signature_size);
    return parts;
  }
  add("second", h.second_size);
  add("dt", h.legacy_dt_size);
  if (h.version >= 1) {
    // The header also gives the recovery DTBO's absolute offset, but writers always put it
    // here and images in the wild carry stale values in that field.
    add("recovery_dtbo", h.recovery_dtbo_size);
  }
  if (h.version >= 2) add("dtb", h.dtb_size);
  return parts;
}

uint64_t ImageSize(const Header& h) {
  const uint64_t page = EffectivePageSize(h);
  uint64_t end = HeaderBytes(h);
  for (const auto& p : ListParts(h)) {
    uint64_t e = AlignUp(p.offset + p.size, page);
    if (e > end) end = e;
  }
  return end;
}

Header ParseHeader(const uint8_t* d, size_t len, uint64_t file_size) {
  if (len < 8) throw Error("the file is too small for a boot image header");
  Header h;
  auto need = [&](size_t n) {
    if (len < n) throw Error("the header is cut short: " + std::to_string(len) + " bytes, " + std::to_string(n) + " needed");
  };
  if (std::memcmp(d, kVendorMagic, 8) == 0) {
    h.type = ImageType::VendorBoot;
    need(2112);
    h.version = Le32(d + 8);
    if (h.version != 3 && h.version != 4) throw Error("unsupported vendor_boot header version " + std::to_string(h.version));
    h.page_size = Le32(d + 12);
    if (!PageSizeOk(h.page_size)) throw Error("invalid page size " + std::to_string(h.page_size));
    h.kernel_addr = Le32(d + 16);
    h.ramdisk_addr = Le32(d + 20);
    h.vendor_ramdisk_size = Le32(d + 24);
    h.cmdline = FixedText(d + 28, 2048);
    h.tags_addr = Le32(d + 2076);
    h.name = FixedText(d + 2080, 16);
    h.header_size = Le32(d + 2096);
    h.dtb_size = Le32(d + 2100);
    h.dtb_addr = Le64(d + 2104);
    if (h.version >= 4) {
      need(2128);
      h.table_size = Le32(d + 2112);
      h.table_entry_num = Le32(d + 2116);
      h.table_entry_size = Le32(d + 2120);
      h.bootconfig_size = Le32(d + 2124);
      if (h.table_entry_size < kVendorTableEntrySize || h.table_entry_size > 4096)
        throw Error("invalid vendor ramdisk table entry size " + std::to_string(h.table_entry_size));
      if (uint64_t(h.table_entry_num) * h.table_entry_size > h.table_size)
        throw Error("the vendor ramdisk table holds " + std::to_string(h.table_entry_num) +
                    " entries but is only " + std::to_string(h.table_size) + " bytes long");
    }
    // Older mkbootimg builds wrote other header sizes than the current ones: any plausible value.
    if (h.header_size < 2048 || h.header_size > kMaxHeaderBytes * 4)
      throw Error("invalid vendor_boot header size " + std::to_string(h.header_size));
    CheckPartsInFile(h, file_size);
    return h;
  }
  if (std::memcmp(d, kBootMagic, 8) != 0) throw Error("not an Android boot image (no ANDROID! or VNDRBOOT magic)");
  need(48);
  const uint32_t slot = Le32(d + 40);
  if (slot == 3 || slot == 4) {
    need(slot == 4 ? 1584 : 1580);
    h.version = slot;
    h.kernel_size = Le32(d + 8);
    h.ramdisk_size = Le32(d + 12);
    h.os_version = Le32(d + 16);
    h.header_size = Le32(d + 20);
    for (int i = 0; i < 4; ++i) h.reserved[i] = Le32(d + 24 + 4 * i);
    h.cmdline = FixedText(d + 44, 1536);
    if (slot == 4) h.signature_size = Le32(d + 1580);
    h.page_size = 4096;
    CheckPartsInFile(h, file_size);
    return h;
  }
  need(1632);
  h.kernel_size = Le32(d + 8);
  h.kernel_addr = Le32(d + 12);
  h.ramdisk_size = Le32(d + 16);
  h.ramdisk_addr = Le32(d + 20);
  h.second_size = Le32(d + 24);
  h.second_addr = Le32(d + 28);
  h.tags_addr = Le32(d + 32);
  h.page_size = Le32(d + 36);
  // The header itself takes more than 1600 bytes of its page.
  if (!PageSizeOk(h.page_size) || h.page_size < 2048) throw Error("invalid page size " + std::to_string(h.page_size));
  if (slot <= 2) {
    h.version = slot;
  } else {
    h.version = 0;
    h.legacy_dt_size = slot;
  }
  h.os_version = Le32(d + 44);
  h.name = FixedText(d + 48, 16);
  std::string first = FixedText(d + 64, 512), extra = FixedText(d + 608, 1024);
  h.cmdline = first + extra;
  h.cmdline_split = first.size() == 512 ? 512 : 511;
  std::memcpy(h.id.data(), d + 576, 32);
  if (h.version >= 1) {
    need(1648);
    h.recovery_dtbo_size = Le32(d + 1632);
    h.recovery_dtbo_offset = Le64(d + 1636);
    h.header_size = Le32(d + 1644);
  }
  if (h.version >= 2) {
    need(1660);
    h.dtb_size = Le32(d + 1648);
    h.dtb_addr = Le64(d + 1652);
  }
  CheckPartsInFile(h, file_size);
  return h;
}

void ReadVendorRamdiskTable(const File& f, Header& h) {
  h.ramdisks.clear();
  if (h.type != ImageType::VendorBoot || h.version < 4) return;
  uint64_t table_off = 0;
  for (const auto& p : ListParts(h))
    if (p.name == "vendor_ramdisk_table") table_off = p.offset;
  if (h.table_entry_num && !table_off) throw Error("the vendor ramdisk table is missing");
  std::vector<uint8_t> e(h.table_entry_size);
  for (uint32_t i = 0; i < h.table_entry_num; ++i) {
    f.ReadAt(table_off + uint64_t(i) * h.table_entry_size, e.data(), e.size());
    VendorRamdisk r;
    r.size = Le32(&e[0]);
    r.offset = Le32(&e[4]);
    r.type = Le32(&e[8]);
    r.name = FixedText(&e[12], 32);
    for (int k = 0; k < 16; ++k) r.board_id[k] = Le32(&e[44 + 4 * k]);
    if (uint64_t(r.offset) + r.size > h.vendor_ramdisk_size)
      throw Error("vendor ramdisk " + std::to_string(i) + " (offset " + std::to_string(r.offset) + ", size " +
                  std::to_string(r.size) + ") lies outside the vendor ramdisk section of " +
                  std::to_string(h.vendor_ramdisk_size) + " bytes");
    h.ramdisks.push_back(r);
  }
}

std::vector<uint8_t> SerializeHeader(const Header& h) {
  std::vector<uint8_t> b(HeaderBytes(h), 0);
  uint8_t* d = b.data();
  if (h.type == ImageType::VendorBoot) {
    if (b.size() < 2128) throw Error("the vendor_boot header does not fit its pages");
    std::memcpy(d, kVendorMagic, 8);
    PutLe32(d + 8, h.version);
    PutLe32(d + 12, h.page_size);
    PutLe32(d + 16, h.kernel_addr);
    PutLe32(d + 20, h.ramdisk_addr);
    PutLe32(d + 24, h.vendor_ramdisk_size);
    PutText(d + 28, 2048, h.cmdline, "the vendor command line");
    PutLe32(d + 2076, h.tags_addr);
    PutText(d + 2080, 16, h.name, "the board name");
    PutLe32(d + 2096, h.header_size);
    PutLe32(d + 2100, h.dtb_size);
    PutLe64(d + 2104, h.dtb_addr);
    if (h.version >= 4) {
      PutLe32(d + 2112, h.table_size);
      PutLe32(d + 2116, h.table_entry_num);
      PutLe32(d + 2120, h.table_entry_size);
      PutLe32(d + 2124, h.bootconfig_size);
    }
    return b;
  }
  std::memcpy(d, kBootMagic, 8);
  if (h.version >= 3) {
    PutLe32(d + 8, h.kernel_size);
    PutLe32(d + 12, h.ramdisk_size);
    PutLe32(d + 16, h.os_version);
    PutLe32(d + 20, h.header_size);
    for (int i = 0; i < 4; ++i) PutLe32(d + 24 + 4 * i, h.reserved[i]);
    PutLe32(d + 40, h.version);
    PutText(d + 44, 1536, h.cmdline, "the command line");
    if (h.version >= 4) PutLe32(d + 1580, h.signature_size);
    return b;
  }
  if (b.size() < 1660) throw Error("the page size is too small for the header");
  PutLe32(d + 8, h.kernel_size);
  PutLe32(d + 12, h.kernel_addr);
  PutLe32(d + 16, h.ramdisk_size);
  PutLe32(d + 20, h.ramdisk_addr);
  PutLe32(d + 24, h.second_size);
  PutLe32(d + 28, h.second_addr);
  PutLe32(d + 32, h.tags_addr);
  PutLe32(d + 36, h.page_size);
  PutLe32(d + 40, h.version == 0 && h.legacy_dt_size ? h.legacy_dt_size : h.version);
  PutLe32(d + 44, h.os_version);
  PutText(d + 48, 16, h.name, "the board name");
  if (h.cmdline.size() > 512 + 1024) throw Error("the command line is longer than 1536 characters");
  size_t first = h.cmdline.size() <= 511 ? h.cmdline.size() : (h.cmdline_split == 512 ? 512 : 511);
  if (h.cmdline.size() - first > 1024) first = h.cmdline.size() - 1024;
  if (first > 512) throw Error("the command line is longer than 1536 characters");
  std::memcpy(d + 64, h.cmdline.data(), first);
  std::memcpy(d + 576, h.id.data(), 32);
  std::memcpy(d + 608, h.cmdline.data() + first, h.cmdline.size() - first);
  if (h.version >= 1) {
    PutLe32(d + 1632, h.recovery_dtbo_size);
    PutLe64(d + 1636, h.recovery_dtbo_offset);
    PutLe32(d + 1644, h.header_size);
  }
  if (h.version >= 2) {
    PutLe32(d + 1648, h.dtb_size);
    PutLe64(d + 1652, h.dtb_addr);
  }
  return b;
}

std::vector<uint8_t> SerializeVendorTable(const Header& h) {
  std::vector<uint8_t> b(size_t(h.ramdisks.size()) * kVendorTableEntrySize, 0);
  for (size_t i = 0; i < h.ramdisks.size(); ++i) {
    uint8_t* e = &b[i * kVendorTableEntrySize];
    const auto& r = h.ramdisks[i];
    PutLe32(e, r.size);
    PutLe32(e + 4, r.offset);
    PutLe32(e + 8, r.type);
    PutText(e + 12, 32, r.name, "a vendor ramdisk name");
    for (int k = 0; k < 16; ++k) PutLe32(e + 44 + 4 * k, r.board_id[k]);
  }
  return b;
}

std::array<uint8_t, 32> ComputeId(const IdParts& p, uint32_t version, bool dt_slot_always) {
  Sha1 sha;
  auto part = [&](Reader* r, uint32_t size) {
    if (r && size) {
      uint64_t n = Copy(*r, sha);
      if (n != size) throw Error("a part changed size while its digest was taken");
    }
    sha.UpdateLe32(size);
  };
  part(p.kernel, p.kernel_size);
  part(p.ramdisk, p.ramdisk_size);
  part(p.second, p.second_size);
  if (dt_slot_always || p.dt_size) part(p.dt, p.dt_size);
  if (version >= 1) part(p.recovery_dtbo, p.recovery_dtbo_size);
  if (version >= 2) part(p.dtb, p.dtb_size);
  auto digest = sha.Final();
  std::array<uint8_t, 32> id{};
  std::memcpy(id.data(), digest.data(), 20);
  return id;
}

std::string OsVersionText(uint32_t packed) {
  uint32_t v = packed >> 11;
  return std::to_string((v >> 14) & 127) + "." + std::to_string((v >> 7) & 127) + "." + std::to_string(v & 127);
}

std::string OsPatchLevelText(uint32_t packed) {
  uint32_t lvl = packed & 0x7FF;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04u-%02u", 2000 + (lvl >> 4), lvl & 15);
  return buf;
}

uint32_t PackOsVersion(const std::string& version, const std::string& patch) {
  unsigned a = 0, b = 0, c = 0, y = 0, m = 0;
  char tail = 0;
  if (std::sscanf(version.c_str(), "%u.%u.%u%c", &a, &b, &c, &tail) != 3 || a > 127 || b > 127 || c > 127)
    throw Error("os_version must be A.B.C with numbers up to 127: " + version);
  if (std::sscanf(patch.c_str(), "%u-%u%c", &y, &m, &tail) != 2 || y < 2000 || y > 2127 || m > 15)
    throw Error("os_patch_level must be YYYY-MM (years 2000 to 2127): " + patch);
  return ((a << 14 | b << 7 | c) << 11) | ((y - 2000) << 4 | m);
}

}  // namespace orvex::bootimg
