#pragma once
// A partition boot sector for boot tests, standing in for the new system's loader: it says
// "partition boot sector reached from entry N" on the first serial port (N being the table entry
// our boot code handed it) and ends the machine.
constexpr const char* partitionBootSectorReached = "partition boot sector reached from entry ";
extern const unsigned char partitionBootSector[512];
