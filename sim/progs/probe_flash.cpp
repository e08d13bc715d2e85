// Board-side driver of the flash layer: opens the partitions as start-up
// does, then runs one operation named on the command line and prints its
// result, so that tests reach api_flash_* through the real system calls.
//
//   probe_flash [--trace] info
//   probe_flash [--trace] write PART OFFSET FILE PROGRESS
//   probe_flash [--trace] read PART OFFSET COUNT OUTFILE
//   probe_flash [--trace] erase PART OFFSET COUNT
//   probe_flash [--trace] env
//
// PART is uboot, ubootenv, devicetree, kernel, rfs or rescue. Numbers take
// C notation (0x...). Without an initialised flash layer (--no-init) the
// operations show the refusal of an unusable flash.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "board/flash.h"
#include "boot/settings.h"

namespace {

int partition_fd(const char* name)
{
    const struct {
        const char* name;
        const int* fd;
    } parts[] = {{"uboot", &uboot_fd},
                 {"ubootenv", &uboot_env_fd},
                 {"devicetree", &device_tree_fd},
                 {"kernel", &kernel_fd},
                 {"rfs", &rfs_fd},
                 {"rescue", &rescue_fd}};
    for (const auto& p : parts) {
        if (std::strcmp(p.name, name) == 0)
            return *p.fd;
    }
    std::fprintf(stderr, "probe_flash: unknown partition %s\n", name);
    std::exit(2);
}

std::uint32_t number(const char* text)
{
    return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0));
}

int usage()
{
    std::fprintf(stderr, "usage: probe_flash [--trace] [--no-init] info|write|read|erase|env ...\n");
    return 2;
}

int show_info(int init_result)
{
    std::printf("api_flash_init=%d\n", init_result);
    std::printf("name=%s sectors=%lu sector_size=%lu sector_shift=%lu size=%lu\n", theFlash.name,
                static_cast<unsigned long>(theFlash.sectors),
                static_cast<unsigned long>(theFlash.sector_size),
                static_cast<unsigned long>(theFlash.sector_shift), static_cast<unsigned long>(theFlash.size));
    return 0;
}

int do_write(char** argv)
{
    std::ifstream in(argv[2], std::ios::binary);
    if (!in) {
        std::perror(argv[2]);
        return 2;
    }
    const std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const int r =
        api_flash_write(data.data(), partition_fd(argv[0]), number(argv[1]),
                        static_cast<std::uint32_t>(data.size()), static_cast<std::uint8_t>(number(argv[3])));
    std::printf("api_flash_write=%d\n", r);
    return 0;
}

int do_read(char** argv)
{
    const std::uint32_t count = number(argv[2]);
    std::vector<char> data(count);
    const int r = api_flash_read(data.data(), partition_fd(argv[0]), number(argv[1]), count);
    std::printf("api_flash_read=%d\n", r);
    if (r == 0) {
        std::ofstream out(argv[3], std::ios::binary);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    return 0;
}

int do_erase(char** argv)
{
    const int r = api_flash_erase(partition_fd(argv[0]), number(argv[1]), number(argv[2]));
    std::printf("api_flash_erase=%d\n", r);
    return 0;
}

int do_env()
{
    parse_uboot_env();
    std::printf("gdb=%d gdbserver=%d gdbport=%d shell=%d memchk=%d rescue=%d diags=%d\n", gdb_enable,
                gdbserver_enable, gdbport, shell_enable, memchk_enable, rescue_enable, standalone_diags);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int i = 1;
    bool init = true;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        if (std::strcmp(argv[i], "--trace") == 0)
            debug_read = debug_write = debug_erase = 1;
        else if (std::strcmp(argv[i], "--no-init") == 0)
            init = false;
        else
            return usage();
    }
    if (i >= argc)
        return usage();
    const int init_result = init ? api_flash_init() : -1;
    const std::string op = argv[i];
    char** args = argv + i + 1;
    const int nargs = argc - i - 1;
    int rc = 0;
    if (op == "info")
        rc = show_info(init_result);
    else if (op == "write" && nargs == 4)
        rc = do_write(args);
    else if (op == "read" && nargs == 4)
        rc = do_read(args);
    else if (op == "erase" && nargs == 3)
        rc = do_erase(args);
    else if (op == "env")
        rc = do_env();
    else
        rc = usage();
    std::fflush(stdout);
    return rc;
}
