#include "dfuse/StdfuFiles.h"

#include <algorithm>
#include <set>

#include "DfuFile.h"
#include "DfuMemoryMapping.h"
#include "Handles.h"

using namespace dfuse;

uint32_t STDFUFILES_OpenExistingDFUFile(const char* utf8Path, uint32_t* file, uint16_t* vendorId,
                                        uint16_t* productId, uint16_t* bcdDevice,
                                        uint8_t* targets) {
    if (!utf8Path || !file)
        return kDfuErrorInvalidArgument;
    std::vector<uint8_t> bytes;
    uint32_t code = readWholeFile(utf8Path, &bytes);
    if (code != kDfuSuccess)
        return code;
    auto data = std::make_shared<DfuFileData>();
    code = parseDfuFile(bytes, data.get());
    if (code != kDfuSuccess)
        return code;
    if (vendorId)
        *vendorId = data->vendorId;
    if (productId)
        *productId = data->productId;
    if (bcdDevice)
        *bcdDevice = data->bcdDevice;
    if (targets)
        *targets = uint8_t(data->targets.size());
    *file = fileHandles().add(std::move(data));
    return kDfuSuccess;
}

uint32_t STDFUFILES_CloseDFUFile(uint32_t* file) {
    if (!file)
        return kDfuErrorInvalidArgument;
    if (!fileHandles().take(*file))
        return kDfuErrorBadHandle;
    *file = 0;
    return kDfuSuccess;
}

uint32_t STDFUFILES_ReadImageFromDFUFile(uint32_t file, int32_t index, uint32_t* image) {
    if (!image)
        return kDfuErrorInvalidArgument;
    std::shared_ptr<DfuFileData> data = fileHandles().get(file);
    if (!data)
        return kDfuErrorBadHandle;
    if (index < 0 || size_t(index) >= data->targets.size())
        return kDfuErrorNoSuchImage;
    *image = imageHandles().add(std::make_shared<DfuImage>(data->targets[size_t(index)]));
    return kDfuSuccess;
}

uint32_t STDFUFILES_CreateImageFromMapping(uint32_t* image, DfuMapping mapping) {
    if (!image || !mapping || mapping->alternates.empty())
        return kDfuErrorInvalidArgument;
    auto created = std::make_shared<DfuImage>();
    created->alternate = 0;
    created->name = mapping->alternates[0].name;
    *image = imageHandles().add(std::move(created));
    return kDfuSuccess;
}

uint32_t STDFUFILES_DuplicateImage(uint32_t image, uint32_t* copy) {
    if (!copy)
        return kDfuErrorInvalidArgument;
    std::shared_ptr<DfuImage> original = imageHandles().get(image);
    if (!original)
        return kDfuErrorBadHandle;
    *copy = imageHandles().add(std::make_shared<DfuImage>(*original));
    return kDfuSuccess;
}

uint32_t STDFUFILES_FilterImageForOperation(uint32_t image, DfuMapping mapping, uint32_t operation,
                                            uint32_t flags) {
    if (!mapping || flags != 0 || operation != kDfuOperationErase)
        return kDfuErrorInvalidArgument;
    std::shared_ptr<DfuImage> target = imageHandles().get(image);
    if (!target)
        return kDfuErrorBadHandle;
    if (target->alternate >= mapping->alternates.size())
        return kDfuErrorImageOutsideMemory;
    const MemoryLayout& layout = mapping->alternates[target->alternate];

    // Every sector the data touches, once, in address order. Sectors that cannot be erased are
    // left out; data outside the memory is refused, as nothing could write it.
    std::set<std::pair<uint32_t, uint32_t>> sectors;
    for (const ImageElement& element : target->elements) {
        uint64_t address = element.address;
        const uint64_t end = uint64_t(element.address) + element.size;
        while (address < end) {
            const SectorGroup* group = findSectorGroup(layout, uint32_t(address));
            if (!group)
                return kDfuErrorImageOutsideMemory;
            const uint32_t start = sectorStart(*group, uint32_t(address));
            if (group->access & kSectorErasable)
                sectors.insert({start, group->size});
            address = uint64_t(start) + group->size;
        }
    }
    std::vector<ImageElement> fitted;
    for (const auto& [address, size] : sectors) {
        ImageElement element;
        element.address = address;
        element.size = size;
        fitted.push_back(std::move(element));
    }
    target->elements = std::move(fitted);
    return kDfuSuccess;
}

uint32_t STDFUFILES_DestroyImage(uint32_t* image) {
    if (!image)
        return kDfuErrorInvalidArgument;
    if (!imageHandles().take(*image))
        return kDfuErrorBadHandle;
    *image = 0;
    return kDfuSuccess;
}

uint32_t STDFUFILES_GetImageAlternate(uint32_t image, uint8_t* alternate) {
    if (!alternate)
        return kDfuErrorInvalidArgument;
    std::shared_ptr<DfuImage> found = imageHandles().get(image);
    if (!found)
        return kDfuErrorBadHandle;
    *alternate = found->alternate;
    return kDfuSuccess;
}

uint32_t STDFUFILES_GetImageNbElement(uint32_t image, uint32_t* elements) {
    if (!elements)
        return kDfuErrorInvalidArgument;
    std::shared_ptr<DfuImage> found = imageHandles().get(image);
    if (!found)
        return kDfuErrorBadHandle;
    *elements = uint32_t(found->elements.size());
    return kDfuSuccess;
}

uint32_t STDFUFILES_GetImageElement(uint32_t image, uint32_t index, uint32_t* address,
                                    uint32_t* size) {
    if (!address || !size)
        return kDfuErrorInvalidArgument;
    std::shared_ptr<DfuImage> found = imageHandles().get(image);
    if (!found)
        return kDfuErrorBadHandle;
    if (index >= found->elements.size())
        return kDfuErrorInvalidArgument;
    *address = found->elements[index].address;
    *size = found->elements[index].size;
    return kDfuSuccess;
}
