#pragma once
// Text of the attribute file (AOSP canned fs_config) and of the context file (AOSP
// file_contexts) that extract.erofs writes beside the tree.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvex::extract_erofs {

// The 64-bit permitted set of a security.capability value (vfs_cap_data revision 1, 2 or 3);
// nullopt when the value is not a capability record.
std::optional<uint64_t> DecodeCapabilities(std::string_view value);

// "path uid gid 0mode" with the permission bits as four octal digits, plus
// " capabilities=0x..." when caps is non-zero. No line end.
std::string FsConfigLine(std::string_view path, uint32_t uid, uint32_t gid, uint32_t permissions, uint64_t caps);

// A literal path as a file_contexts regular expression: every regex metacharacter gets a
// backslash; blanks, control bytes and every byte above 0x7e are written as \xHH, so that a
// line stays one line and holds only ASCII (libselinux refuses other bytes).
std::string EscapeContextPath(std::string_view path);

// The security context stored in security.selinux without trailing NUL bytes; empty when the
// value cannot stand in a file_contexts line (white space or control characters).
std::string CleanContext(std::string_view value);

// Path of an entry as Android sees it at run time: mount point + "/" + path inside the image
// (the root is the mount point itself).
std::string RuntimePath(std::string_view mount_point, std::string_view rel);

// Quotes a relative path for the options line so that /bin/sh reads it back unchanged: double
// quotes for ordinary names, single quotes when the name holds $, `, " or \.
std::string QuoteForOptions(std::string_view path);
// A value for one "key: value" line: control bytes (line breaks included) as \xHH.
std::string OneLineValue(std::string_view value);

}  // namespace orvex::extract_erofs
