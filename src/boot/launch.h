// Launch of the application OS from the unpacked archive, the gdb image
// extraction, and the interactive shell offered before the launch.
#pragma once

[[noreturn]] void launch_image(bool diags);
int extract_gdb(int image_number);
// The interactive shell offered before the launch and after fatal failures.
void shell_step();
