// Application launch: unpack the archive, run the install script that it
// brings, take over its environment settings, offer the shell, and start
// the application plainly, under gdb or gdbserver, or with the memory
// checker; and fetch the gdb executable from the other image slot.
#include "boot/launch.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "board/i2c.h"
#include "boot/settings.h"
#include "boot/start.h"
#include "image/image.h"
#include "sys/command.h"
#include "sys/files.h"
#include "sys/paths.h"

namespace {

constexpr const char* BACKTRACE = "/bin/backtrace";

void unpack_archive()
{
    const std::string line = strprintf("cd /tmp \ntar mxzf %s \nrm %s\n", APP_ARCHIVE, APP_ARCHIVE);
    if (run_command(line) < 0) {
        std::fputs("Failed to gunzip Application OS.\n", stderr);
        board_reset();
    }
}

// The diagnostics executable takes the application's place.
void install_diagnostics()
{
    std::puts("install diags image");
    run_command("mkdir -p /tmp/home/bin");
    run_command(strprintf("mv %s %s", DIAG_EXECUTABLE, APP_EXECUTABLE));
}

// A name that setenv would refuse or misread (empty, or holding '=') is
// skipped, so that the file cannot end or confuse the boot manager.
bool usable_env_name(const char* name)
{
    return name[0] != '\0' && std::strchr(name, '=') == nullptr;
}

// Blank-separated words taken in pairs, name then value; a name standing
// last without a value gets the empty value.
void apply_env_setup()
{
    file_ptr f(std::fopen(ENV_SETUP, "r"));
    if (!f)
        return;
    char name[512];
    char value[512];
    for (;;) {
        std::memset(name, 0, sizeof name);
        std::memset(value, 0, sizeof value);
        if (std::fscanf(f.get(), "%511s %511s", name, value) == EOF)
            break;
        if (usable_env_name(name))
            setenv(name, value, 1);
    }
}

void run_install_script()
{
    if (!path_exists(INSTALL_SCRIPT))
        return;
    std::puts("Running AOS install script");
    run_command(INSTALL_SCRIPT);
    apply_env_setup();
}

[[noreturn]] void run_then_reset(const std::string& line)
{
    run_command(line);
    board_reset();
}

[[noreturn]] void replace_with_backtrace()
{
    std::fflush(stdout);
    std::fflush(stderr);
    execlp(BACKTRACE, BACKTRACE, static_cast<char*>(nullptr));
    std::fputs("Failed to start Application OS.\n", stderr);
    board_reset();
}

// The first rule that applies starts the application.
[[noreturn]] void start_application()
{
    if (gdbserver_enable && memchk_enable)
        run_then_reset(
            strprintf("LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d %s\n", gdbport, APP_EXECUTABLE));
    if (gdbserver_enable)
        run_then_reset(strprintf("/bin/gdbserver :%d %s\n", gdbport, APP_EXECUTABLE));
    if (gdb_enable) {
        if (path_exists(GDB_EXECUTABLE)) {
            std::puts("*** Launching under GDB ***");
            run_then_reset(strprintf("%s %s", GDB_EXECUTABLE, APP_EXECUTABLE));
        }
        std::puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
        replace_with_backtrace();
    }
    if (memchk_enable)
        run_then_reset(strprintf("LD_PRELOAD=libduma.so.0.0.0 %s\n", APP_EXECUTABLE));
    replace_with_backtrace();
}

// The first 20 bytes of the GDB image decide where its payload starts;
// 0 when the header is unusable (message written).
bool gdb_payload_layout(FILE* in, int source, component_layout* c)
{
    std::uint8_t probe[COMPONENT_PROBE_SIZE] = {};
    if (std::fread(probe, 1, sizeof probe, in) != sizeof probe)
        std::memset(probe, 0, sizeof probe);
    *c = component_from_probe(probe);
    if ((c->header.magic & MAGIC_EXTENDED) == 0)
        std::puts("V2 header found");
    if (c->type != TYPE_APPLICATION && c->type != TYPE_DIAGNOSTICS) {
        std::fprintf(stderr, "Image has invalid header 0x%x\n", c->header.magic);
        return false;
    }
    if (!c->sane) {
        report_implausible_header("GDB image", *c);
        return false;
    }
    std::printf("Found GDB image %d of length = %u.\n", source, c->header.len);
    return true;
}

} // namespace

void shell_step()
{
    if (shell_enable)
        run_command("/bin/sh\n");
}

[[noreturn]] void launch_image(bool diags)
{
    sleep(1);
    unpack_archive();
    api_i2c_close();
    if (diags)
        install_diagnostics();
    run_install_script();
    if (shell_enable) {
        std::puts("Dropping into shell");
        shell_step();
        std::puts("Dropping out of shell");
    }
    start_application();
}

int extract_gdb(int image_number)
{
    if (image_number != IMAGE_SLOT1 && image_number != IMAGE_SLOT2)
        return 0;
    const int source = other_slot(image_number);
    std::printf("Extracting GDB from image slot %d\n", source);
    file_ptr in(std::fopen(slot_path(source).c_str(), "rb"));
    if (!in) {
        std::fprintf(stderr, "Failed to open GDB image (from slot %d)\n", source);
        return 0;
    }
    file_ptr out(std::fopen(GDB_ARCHIVE, "wb"));
    if (!out) {
        std::fputs("Failed to open GDB output file.\n", stderr);
        return 0;
    }
    component_layout c{};
    if (!gdb_payload_layout(in.get(), source, &c))
        return 0;
    // No CRC for the GDB image, but never past the end of the file: a short
    // payload is refused rather than handed to gunzip.
    const bool copied = copy_file_range_to(fileno(in.get()), {c.payload_offset, c.header.len},
                                           fileno(out.get())) == copy_result::copied;
    const bool closed = close_file(out);
    in.reset();
    if (!copied || !closed) {
        std::fputs("Failed to copy GDB image.\n", stderr);
        std::remove(GDB_ARCHIVE);
        return 0;
    }
    std::puts("decompressing GDB....");
    run_command(strprintf("gunzip %s", GDB_ARCHIVE));
    run_command(strprintf("chmod +x %s", GDB_EXECUTABLE));
    return 1;
}
