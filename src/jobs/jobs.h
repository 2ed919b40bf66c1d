#pragma once
// Every job: a free function that takes one path (a file to unpack or a folder to pack) and
// reports only through the activity log.
#include <string>

#include "context.h"

namespace orvex {

// Partition images
void UnpackPartitionImage(Context& ctx, const std::string& path);
void UnpackSuperImage(Context& ctx, const std::string& path);
void UnpackTransferList(Context& ctx, const std::string& path);
void DecompressTransferList(Context& ctx, const std::string& path);
void UnpackPayload(Context& ctx, const std::string& path);
void UnpackLz4Image(Context& ctx, const std::string& path);
void ConvertImage(Context& ctx, const std::string& path);
// Unpacks the main partition images found in a folder that a container was split into.
void UnpackFirmwareFolder(Context& ctx, const std::string& folder);
void PackPartitionImage(Context& ctx, const std::string& folder);
void MakeAttributeLists(Context& ctx, const std::string& folder);
void PackSuperImage(Context& ctx, const std::string& folder);
void PackErofsImage(Context& ctx, const std::string& folder);
// Follow-ups of a partition pack that take the built image.
void PackTransferList(Context& ctx, const std::string& image);
// Compresses the data file of a transfer list ({name}.new.dat -> {name}.new.dat.br).
void CompressTransferData(Context& ctx, const std::string& dataPath);
void PackLz4Image(Context& ctx, const std::string& image);
// Firmware containers
void UnpackFirmwareContainer(Context& ctx, const std::string& path);
void UnpackRockchipImage(Context& ctx, const std::string& path);
void UnpackAllwinnerImage(Context& ctx, const std::string& path);
void UnpackAmlLogoImage(Context& ctx, const std::string& path);
void UnpackPacFirmware(Context& ctx, const std::string& path);
void PackFirmwareContainer(Context& ctx, const std::string& folder);
void PackRockchipImage(Context& ctx, const std::string& folder);
void PackAllwinnerImage(Context& ctx, const std::string& folder);
void PackAmlLogoImage(Context& ctx, const std::string& folder);
// Archives
void UnpackZipArchive(Context& ctx, const std::string& path);
void Unpack7zArchive(Context& ctx, const std::string& path);
void UnpackTarArchive(Context& ctx, const std::string& path);
void UnpackGzipFile(Context& ctx, const std::string& path);
void PackZipArchive(Context& ctx, const std::string& folder);
void PackTarArchive(Context& ctx, const std::string& folder);
// Device trees
void UnpackSingleDtb(Context& ctx, const std::string& path);
void UnpackMultiDtb(Context& ctx, const std::string& path, const std::string& kind);
void PackDtb(Context& ctx, const std::string& folder);
// Boot images and the framework package
void UnpackBootImage(Context& ctx, const std::string& path);
void PackBootImage(Context& ctx, const std::string& folder);
void DecodeApk(Context& ctx, const std::string& path);
void BuildApk(Context& ctx, const std::string& folder);

}  // namespace orvex
