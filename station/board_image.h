// A board's own image: the next board's serial number, from --serial-start
// or the serial file, and the image that carries it.
#pragma once

#include <cstdint>
#include <string>

#include "image/image_snapshot.h"
#include "image/prepared_image.h"
#include "station/plan.h"

// The next board's number: counted up from --serial-start in *next, or taken
// from the serial file (which then holds the following one). False with the
// reason when the file gives none or the number does not fit the format.
bool nextSerialNumber(const Options& options, uint64_t* next, uint64_t* number, std::string* error);

// The image a board is programmed from, with its serial number written in
// when it has one, and the SHA-256 of the data bytes that image programs.
// False with the reason when the number does not fit.
bool boardImage(const Options& options, const LoadedImage& loaded, const uint64_t* serial,
                ImageSnapshot* out, std::string* dataSha256, std::string* error);
