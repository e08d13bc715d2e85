"""The simulated board for bootmgr's system tests (see sim/README.md)."""

from boardsim.board import (PARTITION_SIZES, Board, BoardError, PowerOff, describe_header,
                            read_header)

__all__ = ["Board", "BoardError", "PowerOff", "PARTITION_SIZES", "describe_header",
           "read_header"]
