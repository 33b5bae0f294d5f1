#pragma once

#include <vector>

#include "SimulatedLoader.h"
#include "TempDfuFile.h"
#include "dfuse/StdfuFiles.h"
#include "dfuse/StdfuPrt.h"
#include "sim/DfuFileWriter.h"

// A boot loader and the preparation of a firmware update for it: image 0 of a file, the
// device's mapping and a copy of the image fitted to erasing. Everything is released after the
// test.
class PreparedUpdate : public LoaderTest {
  protected:
    void TearDown() override {
        for (uint32_t* image : {&image_, &eraseImage_}) {
            if (*image != 0) {
                STDFUFILES_DestroyImage(image);
            }
        }
        if (mapping_ != 0) {
            STDFUPRT_DestroyMapping(&mapping_);
        }
        LoaderTest::TearDown();
    }

    uint32_t readImage(const std::vector<sim::DfuElement>& elements) {
        uint32_t file = 0;
        uint32_t image = 0;
        EXPECT_EQ(
            STDFUFILES_OpenExistingDFUFile(file_.write(sim::buildDfuFile({{0, "", elements}})),
                                           &file, nullptr, nullptr, nullptr, nullptr),
            kDfuSuccess);
        EXPECT_EQ(STDFUFILES_ReadImageFromDFUFile(file, 0, &image), kDfuSuccess);
        STDFUFILES_CloseDFUFile(&file);
        return image;
    }

    void prepare(const std::vector<sim::DfuElement>& elements) {
        image_ = readImage(elements);
        uint32_t alternates = 0;
        ASSERT_EQ(STDFUPRT_CreateMappingFromDevice(kPath, &mapping_, &alternates), kDfuSuccess);
        ASSERT_EQ(alternates, 4u);
        ASSERT_EQ(STDFUFILES_DuplicateImage(image_, &eraseImage_), kDfuSuccess);
        ASSERT_EQ(STDFUFILES_FilterImageForOperation(eraseImage_, mapping_, kDfuOperationErase, 0),
                  kDfuSuccess);
    }

    TempDfuFile file_;
    uint32_t image_ = 0;
    uint32_t eraseImage_ = 0;
    DfuMapping mapping_ = 0;
};
