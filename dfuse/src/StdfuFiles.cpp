#include "dfuse/StdfuFiles.h"

#include "DfuError.h"
#include "DfuFile.h"
#include "DfuMemoryMapping.h"
#include "Handles.h"

using namespace dfuse;

uint32_t STDFUFILES_OpenExistingDFUFile(const char* utf8Path, uint32_t* file, uint16_t* vendorId,
                                        uint16_t* productId, uint16_t* bcdDevice,
                                        uint8_t* targets) {
    return guarded([&] {
        require(utf8Path && file);
        auto data =
            std::make_shared<DfuFileData>(withContext(std::string("reading ") + utf8Path, [&] {
                return parseDfuFile(readWholeFile(utf8Path));
            }));
        if (vendorId) {
            *vendorId = data->vendorId;
        }
        if (productId) {
            *productId = data->productId;
        }
        if (bcdDevice) {
            *bcdDevice = data->bcdDevice;
        }
        if (targets) {
            *targets = uint8_t(data->targets.size());
        }
        *file = fileHandles().add(std::move(data));
    });
}

uint32_t STDFUFILES_CloseDFUFile(uint32_t* file) {
    return guarded([&] { release(fileHandles(), file, "file"); });
}

uint32_t STDFUFILES_ReadImageFromDFUFile(uint32_t file, int32_t index, uint32_t* image) {
    return guarded([&] {
        require(image);
        std::shared_ptr<DfuFileData> data = lookUp(fileHandles(), file, "file");
        if (index < 0 || size_t(index) >= data->targets.size()) {
            fail(kDfuErrorNoSuchImage, "the file has " + std::to_string(data->targets.size()) +
                                           " images, none with index " + std::to_string(index));
        }
        *image = imageHandles().add(std::make_shared<DfuImage>(data->targets[size_t(index)]));
    });
}

uint32_t STDFUFILES_CreateImageFromMapping(uint32_t* image, DfuMapping mapping) {
    return guarded([&] {
        require(image);
        const std::shared_ptr<DfuMemoryMapping> map = lookUp(mappingHandles(), mapping, "mapping");
        if (map->alternates.empty()) {
            fail(kDfuErrorInvalidArgument, "the mapping has no alternate setting");
        }
        auto created = std::make_shared<DfuImage>();
        created->alternate = 0;
        created->name = map->alternates[0].name;
        *image = imageHandles().add(std::move(created));
    });
}

uint32_t STDFUFILES_DuplicateImage(uint32_t image, uint32_t* copy) {
    return guarded([&] {
        require(copy);
        std::shared_ptr<DfuImage> original = lookUp(imageHandles(), image, "image");
        *copy = imageHandles().add(std::make_shared<DfuImage>(*original));
    });
}

uint32_t STDFUFILES_FilterImageForOperation(uint32_t image, DfuMapping mapping, uint32_t operation,
                                            uint32_t flags) {
    return guarded([&] {
        if (flags != 0 || operation != kDfuOperationErase) {
            fail(kDfuErrorInvalidArgument, "only erasing (3) with flags 0 is filtered for");
        }
        std::shared_ptr<DfuImage> target = lookUp(imageHandles(), image, "image");
        const std::shared_ptr<DfuMemoryMapping> map = lookUp(mappingHandles(), mapping, "mapping");
        // One empty element per erasable sector the data touches, in address order.
        std::vector<ImageElement> fitted;
        for (const Sector& sector : erasableSectors(*target, map->layout(target->alternate))) {
            ImageElement element;
            element.address = sector.address;
            element.size = sector.size;
            fitted.push_back(std::move(element));
        }
        target->elements = std::move(fitted);
    });
}

uint32_t STDFUFILES_DestroyImage(uint32_t* image) {
    return guarded([&] { release(imageHandles(), image, "image"); });
}

uint32_t STDFUFILES_GetImageAlternate(uint32_t image, uint8_t* alternate) {
    return guarded([&] {
        require(alternate);
        *alternate = lookUp(imageHandles(), image, "image")->alternate;
    });
}

uint32_t STDFUFILES_GetImageNbElement(uint32_t image, uint32_t* elements) {
    return guarded([&] {
        require(elements);
        *elements = uint32_t(lookUp(imageHandles(), image, "image")->elements.size());
    });
}

uint32_t STDFUFILES_GetImageElement(uint32_t image, uint32_t index, uint32_t* address,
                                    uint32_t* size) {
    return guarded([&] {
        require(address && size);
        std::shared_ptr<DfuImage> found = lookUp(imageHandles(), image, "image");
        if (index >= found->elements.size()) {
            fail(kDfuErrorInvalidArgument, "the image has no element " + std::to_string(index));
        }
        *address = found->elements[index].address;
        *size = found->elements[index].size;
    });
}
