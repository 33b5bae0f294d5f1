#pragma once

#include <cstdint>

#include "dfuse/DfuReturnCodes.h"
#include "dfuse/StdfuPrt.h"

// DfuSe .dfu files and memory images. File and image handles are opaque non-zero numbers.

// Reads and checks the whole file (prefix, targets, elements, suffix, CRC); a file that fails
// any check is refused and no handle is made. The optional outputs, when not null, receive the
// suffix's vendor and product IDs, its bcdDevice and the number of targets (images).
uint32_t STDFUFILES_OpenExistingDFUFile(const char* utf8Path, uint32_t* file, uint16_t* vendorId,
                                        uint16_t* productId, uint16_t* bcdDevice, uint8_t* targets);
// Frees a file handle and sets *file to 0. Images read from it stay valid.
uint32_t STDFUFILES_CloseDFUFile(uint32_t* file);

// Makes a new image from target `index` of the file.
uint32_t STDFUFILES_ReadImageFromDFUFile(uint32_t file, int32_t index, uint32_t* image);

// Makes an empty image for alternate setting 0 of the mapping, named after its memory.
uint32_t STDFUFILES_CreateImageFromMapping(uint32_t* image, DfuMapping mapping);

uint32_t STDFUFILES_DuplicateImage(uint32_t image, uint32_t* copy);

// Fits the image to an operation in place. For kDfuOperationErase: one empty element per
// erasable sector of the mapping that the image's data touches, in address order; data outside
// the image's memory is refused. `flags` is reserved and must be 0.
uint32_t STDFUFILES_FilterImageForOperation(uint32_t image, DfuMapping mapping, uint32_t operation,
                                            uint32_t flags);

// Frees an image and sets *image to 0.
uint32_t STDFUFILES_DestroyImage(uint32_t* image);

// Inspection of an image.
uint32_t STDFUFILES_GetImageAlternate(uint32_t image, uint8_t* alternate);
uint32_t STDFUFILES_GetImageNbElement(uint32_t image, uint32_t* elements);
uint32_t STDFUFILES_GetImageElement(uint32_t image, uint32_t index, uint32_t* address,
                                    uint32_t* size);
