// The boot manager's entry point: the boot decision runs from here to a
// launch of the application OS or a board reset.
#include "boot/start.h"

int main(int, char**)
{
    boot_sequence();
}
