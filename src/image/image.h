// The image file format (component headers, types, geometry), the stored
// headers of installed components, and the installer.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

constexpr std::uint32_t TYPE_APPLICATION = 0x01504547;
constexpr std::uint32_t TYPE_BOOTLOADER = 0x02504547;
constexpr std::uint32_t TYPE_KERNEL = 0x03504547;
constexpr std::uint32_t TYPE_ROOTFS = 0x04504547;
constexpr std::uint32_t TYPE_DEVICETREE = 0x05504547;
constexpr std::uint32_t TYPE_DIAGNOSTICS = 0x06504547;
constexpr std::uint32_t MAGIC_EXTENDED = 0x80000000;

// Each component type once: the names the image tool knows it by, and the
// installer's words on the console and flash limit for the types that go
// to a flash partition (limit 0: the application, which goes to a slot).
struct component_kind {
    std::uint32_t type;
    const char* name;      // the image tool's name, also in its reports
    const char* alias;     // the image tool's other name, if any
    const char* heading;   // "Installing ...: "
    const char* crc_name;  // in "Bad crc for %s: ..."
    const char* size_name; // in "%s image is too big for flash ..."
    const char* failure;   // a flash write that failed
    std::uint32_t limit;   // bytes the partition takes
    bool payload_only;     // the boot loader: len bytes of payload, limited by len
};
std::span<const component_kind> component_kinds();
// The kind of a component type; nullptr for a type the format does not name.
const component_kind* component_kind_of(std::uint32_t type);

constexpr std::uint32_t IMAGE_HEADER_SIZE = 16;       // plain header
constexpr std::uint32_t COMPONENT_PROBE_SIZE = 20;    // bytes read before the layout is known
constexpr std::uint32_t BOOTLOADER_HEADER_COPY = 240; // offset of the header copy in U-Boot

// The four header words, in host order.
struct image_header {
    std::uint32_t crc;
    std::uint32_t len;
    std::uint32_t magic;
    std::uint32_t id;
};

// What makes a component header implausible: an extended header shorter than
// the 20 bytes read at every start, or header size + len beyond 32 bits.
enum class header_fault { none, short_header, size_wraps };

// Where a component's parts lie, worked out from its first 20 bytes.
struct component_layout {
    image_header header;
    std::uint32_t type;           // magic without the extended flag
    std::uint32_t payload_offset; // = header size
    std::uint32_t total;          // header size + len (32-bit arithmetic)
    header_fault fault;           // why the layout cannot be walked, if it cannot
    bool sane;                    // fault == header_fault::none
};

std::uint32_t load_be32(const std::uint8_t* p);
void store_be32(std::uint8_t* p, std::uint32_t v);
std::uint16_t load_be16(const std::uint8_t* p);
void store_be16(std::uint8_t* p, std::uint16_t v);

image_header decode_header(const std::uint8_t* bytes16);
void encode_header(const image_header& h, std::uint8_t* bytes16);
// Reads the layout from the first 20 bytes of a component.
component_layout component_from_probe(const std::uint8_t* probe20);
// Boot control's report of an implausible header on stderr: "`what` has an
// implausible header (header size ..., length ...)."
void report_implausible_header(const char* what, const component_layout& c);

// Bytes of an image file read at a time by every pass over a component, so
// that memory use does not grow with the component.
constexpr std::size_t IMAGE_WINDOW = 256u << 10;

// A range of an open file read window by window with pread. A file that
// shrinks or a medium that fails under the reader gives a failed read, where
// a mapping of the file would end the program with SIGBUS.
class window_reader {
  public:
    window_reader(int fd, std::uint64_t offset, std::uint64_t count);
    // The next window of the range (at most IMAGE_WINDOW bytes, valid until
    // the next call); empty at the range's end and after a failed read.
    std::span<const std::uint8_t> next();
    // File offset of the window next() gave last.
    std::uint64_t window_offset() const { return window_offset_; }
    // True when the range could not be read whole: the file ended inside
    // it, a read failed, or there was no memory for the window.
    bool failed() const { return failed_; }

  private:
    int fd_;
    std::uint64_t pos_;
    std::uint64_t end_;
    std::uint64_t window_offset_ = 0;
    bool failed_ = false;
    std::unique_ptr<std::uint8_t[]> buffer_;
};

// `count` bytes of a file from `offset`.
struct file_range {
    std::uint64_t offset;
    std::uint64_t count;
};

// The component walk: a component as the walk finds it in an image file.
struct image_component {
    std::uint64_t start = 0;                       // file offset of its first byte
    std::uint8_t probe[COMPONENT_PROBE_SIZE] = {}; // its first 20 bytes
    component_layout layout{};                     // what they say
};

// One step of the walk: the 20 bytes at `start` and the layout they give.
// False when fewer than 20 bytes remain there or they cannot be read: the
// walk is over (the probe is then all zero).
bool read_component_at(int fd, std::uint64_t start, image_component* c);

// Where the component after c starts.
std::uint64_t next_component_start(const image_component& c);

// True when a file of `file_size` bytes holds the whole component.
bool component_within(const image_component& c, std::uint64_t file_size);

// The bytes a component's CRC covers (from byte 4 to its end), and its
// payload (len bytes after the header).
file_range crc_range(const image_component& c);
file_range payload_range(const image_component& c);

// Size of the open file, or -1.
long long file_size_of(int fd);

// Component I/O on an open file, window by window; neither reads beyond the
// file: a range that the file does not hold counts as a failed read.
// crc_of_file_range: crc is the register to start from, replaced by the
// register at the end; false when the range could not be read whole.
bool crc_of_file_range(int fd, const file_range& range, std::uint32_t* crc);
// Copies the range to out_fd at its position. A read that fails or comes
// short (the file shrank, its medium failed) is told apart from a write that
// fails (a full file system).
enum class copy_result { copied, read_failed, write_failed };
copy_result copy_file_range_to(int fd, const file_range& range, int out_fd);

// One pass over component c: its CRC (over crc_range, from the register
// *crc, replaced by the register at the end) and the copy of its payload to
// out_fd, each window read once. The copy stops at a failed write while the
// CRC goes on to the end; a failed or short read is read_failed.
copy_result copy_payload_with_crc(int fd, const image_component& c, int out_fd, std::uint32_t* crc);

void display_header(const image_header* header, int verbose);
// header: 16 raw (big-endian) bytes.
int read_flash_image_header(std::uint32_t type, std::uint8_t* header, int slot);
int verifyMatchingHeaders(const std::uint8_t* header, int slot);

// Installs the components of an image file; 1 when at least one was written.
int processVireoImage(const char* path, std::uint8_t check_version, int slot);
