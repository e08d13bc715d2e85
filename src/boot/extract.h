// Image extraction: the application archive checked and copied out of an
// image slot, the USB boot image or the rescue partition, with the fallbacks
// to the other slot.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "image/image.h"

// The image CRC (gen_crc from IMAGE_CRC_START) over a range of an open file,
// read in windows: 0 when it equals `expected`, 1 otherwise, also when the
// file does not hold the whole range or a read fails or comes short.
int CheckCrc(int fd, const file_range& range, std::uint32_t expected);
int parse_image(FILE* stream, std::uint8_t* header20);
int extract_image(int image_number);
// The checked copy at the heart of extract_image: walks the open image to its
// application or diagnostics component and makes its payload the file
// `archive` only when its CRC matches (never holding the component whole in
// memory; on any other result the archive is left as it was). *layout
// receives the component found.
enum class extract_result { copied, no_component, crc_failed, write_failed };
extract_result extract_component(FILE* src, const std::string& archive, component_layout* layout);
int extract_image_from_flash();
