// Temporary bodies: replaced by the module's real implementation.
#include "image/image.h"

std::uint32_t load_be32(const std::uint8_t*) { return 0; }
void store_be32(std::uint8_t*, std::uint32_t) {}
std::uint16_t load_be16(const std::uint8_t*) { return 0; }
void store_be16(std::uint8_t*, std::uint16_t) {}
image_header decode_header(const std::uint8_t*) { return {}; }
void encode_header(const image_header&, std::uint8_t*) {}
component_layout component_from_probe(const std::uint8_t*) { return {}; }
void display_header(const image_header*, int) {}
int read_flash_image_header(std::uint32_t, std::uint8_t*, int) { return 0; }
int verifyMatchingHeaders(const std::uint8_t*, int) { return 0; }
