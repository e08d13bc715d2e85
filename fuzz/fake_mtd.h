// Memory-backed MTD partitions for fuzz targets that run the flash layer.
// Each partition is a memfd of the partition's size; this file's ioctl()
// (which takes the C library's place in the target binary) answers
// MEMGETINFO and MEMERASE for those descriptors the way an MTD character
// device does, and passes every other request on to the kernel.
#pragma once

#include <cstdint>

namespace fake_mtd {

// A new partition of `size` bytes, blank (all zero); its descriptor.
// MEMERASE fills with 0xFF as flash does.
int add_partition(std::uint32_t size);
// The erase-block size MEMGETINFO reports from now on (any value, 0 and
// sizes that are not powers of two included, as a broken chip might).
void set_erase_size(std::uint32_t size);
// Every partition back to blank.
void blank_all();
// Number of the MEMERASE requests refused (outside the partition or not
// on block boundaries): the flash layer must never make one.
unsigned refused_erases();

} // namespace fake_mtd
