// The boot manager's entry point: the boot decision runs from here to a
// launch of the application OS or a board reset.
#include "boot/launch.h"

int main(int, char**)
{
    boot_sequence();
}
