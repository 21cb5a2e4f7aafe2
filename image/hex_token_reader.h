// The hex token file: whitespace-separated hexadecimal numbers, values below
// 0x100 are data bytes, larger ones the target address of the data that
// follows. Read one block record at a time.
#pragma once

#include <cstdint>
#include <cstdio>

#include "link/frames.h"

// Reader cursors: they persist for the life of the process and are never reset.
// runAddress: address of the first data byte of the current run; between calls
// the base address of the next record. byteAddress: address of the next data
// token.
extern uint32_t runAddress;
extern uint32_t byteAddress;

// Fills the record with up to 256 bytes for consecutive addresses. Sets
// *tokenSeen to 1 whenever a token is read. Returns 1 when the end of the file
// was met during this call, else 0.
int readNextBlock(BlockRecord* record, int* tokenSeen, FILE* file);

// A file outside the format: the line of the first fault (1-based) and what is
// wrong with it.
struct HexFileFault {
  int line;
  char message[160];
};

// Reads the whole open file from its start and tells whether it is a hex token
// file the reader takes as meant: 1 when it is, 0 with the fault filled in
// when not. Leaves the file at its start and the cursors untouched.
int checkHexTokenFile(FILE* file, HexFileFault* fault);
