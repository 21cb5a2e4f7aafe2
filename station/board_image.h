// A board's own image: the next board's serial number, from --serial-start
// or the serial file, and the image that carries it.
#pragma once

#include <cstdint>
#include <string>

#include "image/image_snapshot.h"
#include "image/prepared_image.h"
#include "station/plan.h"
#include "station/serial_file.h"

// --serial-start's count in this command: the next number, until the last
// number the format holds has been given.
struct SerialCounter {
  uint64_t next = 0;   // the next number; once spent, the last one given
  bool spent = false;  // no number is left
};

// The next board's number: counted up in *counter from --serial-start, or
// taken from the serial file (which then holds the following one). NoneLeft
// when the next number would not fit the format (or 64 bits), with "No
// serial number is left after N." in *error; Failed with the reason when the
// file gives none.
SerialTake nextSerialNumber(const Options& options, SerialCounter* counter, uint64_t* number,
                            std::string* error);
// What a run says of --serial-start's count at its end: "The next free
// serial number is N." or "No serial number is left after N."
std::string serialCounterEnd(const SerialCounter& counter);

// The image a board is programmed from, with its serial number written in
// when it has one, and the SHA-256 of the data bytes that image programs.
// False with the reason when the number does not fit.
bool boardImage(const Options& options, const LoadedImage& loaded, const uint64_t* serial,
                ImageSnapshot* out, std::string* dataSha256, std::string* error);

// The image a board is programmed from as segments: the loaded image with the
// board's serial number written in (when it has one). False with the reason.
bool boardFirmware(const Options& options, const LoadedImage& loaded, const uint64_t* serial,
                   FirmwareImage* out, std::string* error);
