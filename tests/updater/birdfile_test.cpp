// BIRD firmware files built by the fixture builder: loading every block type, rejecting every
// malformed form without reading past the image, and patching serial numbers into firmware.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "BirdFile.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "aDefs.h"

using tftest::BirdImage;
using tftest::Bytes;
using tftest::LogCapture;
using tftest::randomBytes;

namespace {

class BirdFileTest : public ::testing::Test {
  protected:
    std::string write(const Bytes& file, const std::string& name = "1234.bird") {
        return dir.write(name, tftest::asText(file));
    }
    std::string writeImage(const BirdImage& image) {
        return write(tftest::birdFile(image.image()));
    }
    // The data of a block as bytes, for comparing with what was built.
    static Bytes dataOf(const BirdBlock& block) {
        return Bytes(block.data, block.data + block.length);
    }
    static Bytes addressed(uint32_t address, const Bytes& payload) {
        Bytes data;
        tftest::putBig(data, address);
        data.insert(data.end(), payload.begin(), payload.end());
        return data;
    }

    tftest::TempDir dir;
};

TEST_F(BirdFileTest, EveryBlockTypeLoadsWithItsFields) {
    const Bytes loader = randomBytes(300, 1), firmware = randomBytes(2000, 2),
                second = randomBytes(100, 3), opaque = randomBytes(10, 4);
    BirdImage image;
    image.loader(0x10000000, loader, 3)
        .firmware(0x0, firmware, 7)
        .firmware(0x8000, second)
        .serialOffsets(0x200, 0x400)
        .descriptor("12345", "2.10.4", "40F5849A", "TF-Nano")
        .entry(0x10000100)
        .block(3, opaque, 1)
        .block(6, {})
        .block(31, randomBytes(5, 5), 2)
        .checksum(0x01020304);
    BirdFile bird(writeImage(image).c_str());

    EXPECT_EQ(bird.Signature(), 0x62697264u);
    EXPECT_EQ(bird.Version(), 0x0101u);
    EXPECT_EQ(bird.FileChecksum(), 0x01020304u);
    EXPECT_EQ(bird.ImageSize(), image.image().size());
    ASSERT_EQ(bird.BlockCount(), 9u);

    struct Expected {
        uint8_t type, flags;
        uint32_t address;
        Bytes data;
    };
    Bytes offsets, descriptor;
    tftest::putBig(offsets, 0x200);
    tftest::putBig(offsets, 0x400);
    for (const char* field :
         {"12345           ", "2.10.4          ", "40F5849A        ", "TF-Nano         "})
        descriptor.insert(descriptor.end(), field, field + 16);
    const std::vector<Expected> expected = {
        {0, 3, 0x10000000, addressed(0x10000000, loader)},
        {1, 7, 0x0, addressed(0x0, firmware)},
        {1, 0, 0x8000, addressed(0x8000, second)},
        {2, 0, 0, offsets},
        {4, 0, 0, descriptor},
        {5, 0, 0, addressed(0x10000100, {})},
        {3, 1, 0, opaque},
        {6, 0, 0, {}},
        {31, 2, 0, randomBytes(5, 5)},
    };
    for (size_t i = 0; i < expected.size(); i++) {
        const BirdBlock& block = bird.Blocks()[i];
        EXPECT_EQ(block.type, expected[i].type) << i;
        EXPECT_EQ(block.flags, expected[i].flags) << i;
        EXPECT_EQ(block.address, expected[i].address) << i;
        EXPECT_EQ(block.length, expected[i].data.size()) << i;
        EXPECT_EQ(dataOf(block), expected[i].data) << i;
    }

    auto firmwareBlocks = bird.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    ASSERT_EQ(firmwareBlocks.size(), 2u);
    EXPECT_EQ(firmwareBlocks[0].address, 0x0u);
    EXPECT_EQ(firmwareBlocks[1].address, 0x8000u);
    EXPECT_EQ(bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(7)).size(), 0u);

    EXPECT_TRUE(bird.HasSerialOffsets());
    EXPECT_EQ(bird.SerialNumberOffset(), 0x200u);
    EXPECT_EQ(bird.DescriptorOffset(), 0x400u);
    EXPECT_EQ(bird.GetBuild(), 12345u);
    EXPECT_EQ(bird.GetVersion(), "2.10.4");
    EXPECT_EQ(bird.GetSerialNumber(), 0x40F5849Au);
    EXPECT_TRUE(bird.ValidateSerialNumber(0x40F5849A));
    EXPECT_FALSE(bird.ValidateSerialNumber(0x40F5849B));
}

// The scan's verdict on blocks that do not fill the image exactly is logged, and the file
// still loads with the blocks found.
TEST_F(BirdFileTest, LoadsDespiteCountOrChecksumMismatch) {
    struct Case {
        const char* name;
        BirdImage image;
        uint32_t blocks;
        const char* logged;
    };
    const Bytes payload = randomBytes(64, 6);
    const std::vector<Case> cases = {
        {"count says 2, holds 3",
         BirdImage().firmware(0, payload).firmware(0x100, payload).entry(4).announce(2), 3,
         "mismatch in number of blocks. (3 != 2)"},
        {"checksum cut to 2 bytes",
         BirdImage().firmware(0, payload).withoutChecksum().raw({0xAB, 0xCD}), 1,
         "mismatch in data size. (-2 bytes remaining)"},
        {"no checksum", BirdImage().firmware(0, payload).withoutChecksum(), 1,
         "mismatch in data size. (-4 bytes remaining)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log(DEBUG_BirdFile);
        BirdFile bird(writeImage(c.image).c_str());
        EXPECT_EQ(bird.BlockCount(), c.blocks);
        EXPECT_EQ(bird.Blocks().size(), c.blocks);
        EXPECT_NE(log.text().find(c.logged), std::string::npos) << log.text();

        BirdFile scanned;
        const Bytes bytes = c.image.image();
        EXPECT_FALSE(scanned.ScanBlocks(bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
}

// Each case's image ends where its fault is, so that a read through a bad length would leave
// the image's allocation (and AddressSanitizer would say so).
TEST_F(BirdFileTest, RejectsMalformedFiles) {
    struct Case {
        const char* name;
        Bytes file;
        const char* logged;
    };
    auto image = [](const BirdImage& built) { return tftest::birdFile(built.image()); };
    const Bytes header = {'b', 'i', 'r', 'd', 1, 1};
    Bytes truncated = image(BirdImage().firmware(0, randomBytes(4000, 7)));
    truncated.resize(truncated.size() / 2);
    Bytes notZlib = header;
    notZlib.insert(notZlib.end(), {'n', 'o', 't', ' ', 'z', 'l', 'i', 'b'});
    const Bytes fine = randomBytes(16, 8);

    const std::vector<Case> cases = {
        {"empty file", {}, "Error (10) reading"},
        {"five bytes", {'b', 'i', 'r', 'd', 1}, "decompressing bird file"},
        {"header only", header, "decompressing bird file"},
        {"not a zlib stream", notZlib, "decompressing bird file"},
        {"zlib stream cut short", truncated, "decompressing bird file"},
        {"empty image", tftest::birdFile({}), "cannot hold a block count"},
        {"image of 7 bytes", tftest::birdFile({0, 0, 0, 0, 0xC0, 0xDE, 0x5E}),
         "cannot hold a block count"},
        {"length one past the end",
         image(BirdImage().head(tftest::Firmware, 21, Bytes(20)).withoutChecksum()),
         "block 0 claims 21 bytes, 20 remain"},
        {"length wraps a 32-bit cursor",
         image(BirdImage().firmware(0, fine).head(3, 0xFFFFFFFF, Bytes(8))),
         "block 1 claims 4294967295 bytes"},
        {"stray bytes after the blocks",
         image(BirdImage().firmware(0, fine).raw({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00})),
         "block 1 claims"},
        {"loader of 3 bytes", image(BirdImage().block(tftest::Loader, Bytes(3)).withoutChecksum()),
         "fewer than 4"},
        {"firmware of no bytes", image(BirdImage().block(tftest::Firmware, {}).withoutChecksum()),
         "fewer than 4"},
        {"serial offsets of 7 bytes",
         image(BirdImage().block(tftest::SerialOffsets, Bytes(7)).withoutChecksum()),
         "fewer than 8"},
        {"descriptor of 63 bytes",
         image(BirdImage().block(tftest::Descriptor, Bytes(63, ' ')).withoutChecksum()),
         "fewer than 64"},
        {"entry of 3 bytes", image(BirdImage().block(tftest::Entry, Bytes(3)).withoutChecksum()),
         "fewer than 4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log(DEBUG_BirdFile);
        const std::string path = write(c.file);
        try {
            BirdFile bird(path.c_str());
            ADD_FAILURE() << "loaded";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Failed to load bird data");
        }
        EXPECT_NE(log.text().find(c.logged), std::string::npos) << log.text();
    }
}

TEST_F(BirdFileTest, RejectsMissingFilesAndDirectories) {
    for (const std::string& path : {dir / "absent.bird", dir.path().string()}) {
        LogCapture log(DEBUG_BirdFile);
        EXPECT_THROW(BirdFile bird(path.c_str()), std::runtime_error) << path;
        EXPECT_NE(log.text().find("BIRD file not found [" + path + "]"), std::string::npos);
        EXPECT_FALSE(BirdFile::VerifyFile(path.c_str()));
    }
}

// Erased flash compresses far better than 8:1; the image grows up to the cap and no further.
TEST_F(BirdFileTest, DecompressesImagesUpToTheCap) {
    // One firmware block of erased flash, written in place: these images are large.
    auto erased = [](size_t imageSize) {
        const size_t overhead = 4 + 5 + 4 + 4; // count, block head, address, checksum
        Bytes image;
        image.reserve(imageSize);
        tftest::putBig(image, 1);
        image.push_back(tftest::Firmware);
        tftest::putBig(image, static_cast<uint32_t>(imageSize - overhead + 4));
        tftest::putBig(image, 0);
        image.resize(imageSize - 4, 0xFF);
        tftest::putBig(image, 0);
        return image;
    };
    struct Case {
        const char* name;
        size_t imageSize;
        bool loads;
    };
    const std::vector<Case> cases = {
        {"a megabyte of erased flash", size_t{1} << 20, true},
        {"exactly the cap", BirdFile::MAX_IMAGE_SIZE, true},
        {"one byte over the cap", BirdFile::MAX_IMAGE_SIZE + 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = tftest::birdFile(erased(c.imageSize), 1, 1, Z_BEST_SPEED);
        ASSERT_GT(c.imageSize, 8 * file.size());
        LogCapture log(DEBUG_BirdFile);
        const std::string path = write(file);
        if (c.loads) {
            BirdFile bird(path.c_str());
            EXPECT_EQ(bird.ImageSize(), c.imageSize);
            ASSERT_EQ(bird.BlockCount(), 1u);
            EXPECT_EQ(bird.Blocks()[0].data[bird.Blocks()[0].length - 1], 0xFF);
        } else {
            EXPECT_THROW(BirdFile bird(path.c_str()), std::runtime_error);
            EXPECT_NE(log.text().find("BIRDFILE: Error (-5) decompressing bird file.\n"),
                      std::string::npos);
        }
    }
}

TEST_F(BirdFileTest, VerifiesSignatureAndVersionBytes) {
    struct Case {
        Bytes head;
        bool valid;
    };
    const std::vector<Case> cases = {
        {{'b', 'i', 'r', 'd', 1, 0}, false},
        {{'b', 'i', 'r', 'd', 0, 1}, false},
        {{'b', 'i', 'r', 'd', 1, 1}, true},
        {{'b', 'i', 'r', 'd', 2, 7}, true},
        {{'b', 'i', 'r', 'd', 1}, false},
        {{'B', 'i', 'r', 'd', 1, 1}, false},
        {{}, false},
    };
    for (const Case& c : cases) {
        Bytes file = c.head;
        if (file.size() == 6) file.push_back(0x78); // what follows the head is not read
        EXPECT_EQ(BirdFile::VerifyFile(write(file).c_str()), c.valid) << tftest::asText(c.head);
    }
}

// A firmware block's payload covers module addresses [A, A + L - 4); only places wholly inside
// one are written, in 64-bit arithmetic, and the result says whether anything was.
TEST_F(BirdFileTest, PatchesSerialNumberOnlyInsideFirmwareBlocks) {
    struct Block {
        uint8_t type;
        uint32_t address;
        size_t payload;
    };
    // What the patch puts at a data index of a block: the serial number little-endian, or its
    // eight hexadecimal digits in every other byte.
    struct Write {
        size_t block, at;
        bool text;
    };
    struct Case {
        const char* name;
        std::vector<Block> blocks;
        uint32_t serialAt, descriptorAt;
        bool result;
        std::vector<Write> writes;
    };
    const std::vector<Case> cases = {
        {"serial offset in the first of two blocks",
         {{1, 0x0, 0x400}, {1, 0x10000, 0x400}},
         0x200,
         0,
         true,
         {{0, 0x204, false}}},
        {"serial offset in the second block",
         {{1, 0x0, 0x400}, {1, 0x10000, 0x400}},
         0x10010,
         0,
         true,
         {{1, 0x14, false}}},
        {"serial offset in no block", {{1, 0x0, 0x400}}, 0x800, 0, false, {}},
        {"serial offset in a loader block only", {{0, 0x0, 0x400}}, 0x200, 0, false, {}},
        {"serial number ends at the payload's end",
         {{1, 0x100, 0x20}},
         0x11C,
         0,
         true,
         {{0, 0x20, false}}},
        {"serial number one past the payload's end", {{1, 0x100, 0x20}}, 0x11D, 0, false, {}},
        {"block at the top of the address space",
         {{1, 0xFFFFFFF0, 0x20}},
         0xFFFFFFF8,
         0,
         true,
         {{0, 0x0C, false}}},
        {"serial offset whose end wraps past zero", {{1, 0x100, 0x10}}, 0xFFFFFFFE, 0, false, {}},
        {"descriptor offset in a block", {{1, 0x1000, 0x100}}, 0, 0x1010, true, {{0, 0x14, true}}},
        {"descriptor offset in no block", {{1, 0x1000, 0x100}}, 0, 0x4000, false, {}},
        {"descriptor whose end wraps past zero", {{1, 0x100, 0x20}}, 0, 0xFFFFFFF8, false, {}},
        {"both offsets", {{1, 0x0, 0x100}}, 0x10, 0x40, true, {{0, 0x14, false}, {0, 0x44, true}}},
    };
    uint32_t seed = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BirdImage image;
        for (const Block& block : c.blocks)
            image.block(block.type, addressed(block.address, randomBytes(block.payload, seed++)));
        image.serialOffsets(c.serialAt, c.descriptorAt);
        BirdFile bird(writeImage(image).c_str());
        ASSERT_TRUE(bird.HasSerialOffsets());

        std::vector<Bytes> expected;
        for (const BirdBlock& block : bird.Blocks())
            expected.push_back(dataOf(block));
        for (const Write& write : c.writes) {
            Bytes& data = expected[write.block];
            if (write.text)
                for (size_t k = 0; k < 8; k++)
                    data[write.at + 2 * k] = static_cast<uint8_t>("40F5849A"[k]);
            else
                for (size_t i = 0; i < 4; i++)
                    data[write.at + i] = static_cast<uint8_t>(0x40F5849Au >> (8 * i));
        }

        EXPECT_EQ(bird.ReplaceSerialNumber(0x40F5849A), c.result);
        for (size_t i = 0; i < c.blocks.size(); i++)
            EXPECT_EQ(dataOf(bird.Blocks()[i]), expected[i]) << "block " << i;
    }
}

TEST_F(BirdFileTest, WithoutSerialOffsetsNothingIsPatched) {
    BirdFile bird(writeImage(BirdImage().firmware(0, randomBytes(64, 9))).c_str());
    EXPECT_FALSE(bird.HasSerialOffsets());
    EXPECT_EQ(bird.SerialNumberOffset(), 0u);
    EXPECT_FALSE(bird.ReplaceSerialNumber(0x12345678));
}

// Blocks scanned from memory the file does not own are read, never written.
TEST_F(BirdFileTest, ScannedForeignImageIsNotWritten) {
    const Bytes image =
        BirdImage().firmware(0, randomBytes(64, 10)).serialOffsets(0x10, 0x20).image();
    Bytes copy = image;
    BirdFile bird;
    EXPECT_TRUE(bird.ScanBlocks(copy.data(), static_cast<uint32_t>(copy.size())));
    EXPECT_TRUE(bird.FindSerialNumberOffsets());
    EXPECT_FALSE(bird.ReplaceSerialNumber(0x40F5849A));
    bird.ReplaceVectorChecksum();
    EXPECT_EQ(copy, image);
}

TEST_F(BirdFileTest, VectorChecksumOfBlocksLoadedAtZero) {
    auto table = [](std::vector<uint32_t> words, size_t extra) {
        Bytes out;
        for (uint32_t word : words)
            for (int i = 0; i < 4; i++)
                out.push_back(static_cast<uint8_t>(word >> (8 * i)));
        out.resize(out.size() + extra, 0xEE);
        return out;
    };
    const std::vector<uint32_t> words = {0x10002000, 0x000000C1, 0x000000C3, 0x000000C5,
                                         0x000000C7, 0x000000C9, 0x000000CB, 0xDEADBEEF};
    const Bytes atZero = table(words, 16), elsewhere = table(words, 0);
    const Bytes shortTable(20, 0x11);
    BirdFile bird(writeImage(BirdImage()
                                 .firmware(0, atZero)
                                 .firmware(0x4000, elsewhere)
                                 .firmware(0, shortTable)
                                 .withoutChecksum())
                      .c_str());
    EXPECT_TRUE(bird.ReplaceVectorChecksum());

    const uint32_t sum = words[0] + words[1] + words[2] + words[3] + words[4] + words[6];
    Bytes patched = atZero;
    const uint32_t check = 0u - sum;
    for (size_t i = 0; i < 4; i++)
        patched[28 + i] = static_cast<uint8_t>(check >> (8 * i));
    EXPECT_EQ(dataOf(bird.Blocks()[0]), addressed(0, patched));
    EXPECT_EQ(dataOf(bird.Blocks()[1]), addressed(0x4000, elsewhere));
    EXPECT_EQ(dataOf(bird.Blocks()[2]), addressed(0, shortTable));
}

TEST_F(BirdFileTest, ModelIsAPrefixMatchOnTheTrimmedField) {
    BirdFile bird(writeImage(BirdImage().descriptor("1", "1.0.0", "00000001", "ABC")).c_str());
    for (const char* model : {"ABC", "AB", ""})
        EXPECT_TRUE(bird.ValidateModel(model)) << model;
    for (const char* model : {"ABCD", "ABC ", "abc", "ABCDEFGHIJKLMNOPQ"})
        EXPECT_FALSE(bird.ValidateModel(model)) << model;
}

// A file for one model must not validate against another, so no model name may be a prefix of
// another.
TEST_F(BirdFileTest, EachModelNameMatchesOnlyItsOwnFile) {
    std::vector<unsigned> models = {4, 5};
    for (unsigned model = 13; model <= 27; model++)
        models.push_back(model);
    for (unsigned own : models) {
        const std::string name = aDefs_GetModelName(own);
        ASSERT_LE(name.size(), 16u) << name;
        BirdFile bird(writeImage(BirdImage().descriptor("1", "1.0.0", "00000001", name)).c_str());
        for (unsigned other : models)
            EXPECT_EQ(bird.ValidateModel(aDefs_GetModelName(other)), other == own)
                << name << " against " << aDefs_GetModelName(other);
    }
}

TEST_F(BirdFileTest, DescriptorFieldsAsNumbersAndText) {
    struct Case {
        const char *build, *version, *serial;
        uint32_t buildNumber;
        const char* versionText;
        uint32_t serialNumber;
    };
    const std::vector<Case> cases = {
        {"12345", "2.10.4 beta", "40F5849A", 12345, "2.10.4", 0x40F5849A},
        {"000000000000042", "2.10.4", "40f5849a", 42, "2.10.4", 0x40F5849A},
        // only the first 15 build characters and 8 serial characters count
        {"0000000000000129", "123456789012345x", "0000000123", 12, "123456789012345", 0x1},
        {"x1", "", "ZZZZZZZZ", 0, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.build);
        BirdFile bird(writeImage(BirdImage()
                                     .descriptor(c.build, c.version, c.serial, "M")
                                     .descriptor("9", "9.9.9", "99999999", "M"))
                          .c_str());
        EXPECT_EQ(bird.GetBuild(), c.buildNumber);
        EXPECT_EQ(bird.GetVersion(), c.versionText);
        EXPECT_EQ(bird.GetSerialNumber(), c.serialNumber);
    }

    BirdFile none(writeImage(BirdImage().entry(0x100)).c_str());
    EXPECT_EQ(none.GetBuild(), 0u);
    EXPECT_EQ(none.GetVersion(), "");
    EXPECT_EQ(none.GetSerialNumber(), 0u);
    EXPECT_FALSE(none.ValidateModel(""));
}

TEST_F(BirdFileTest, DataPatternSearchOverFirmwareBlocks) {
    const Bytes payload = {'x', 'x', 'H', 'E', 'L', 'L', 'O', 'y', 'E', 'N', 'D'};
    BirdFile bird(
        writeImage(BirdImage().firmware(0, payload).loader(0, {'L', 'O', 'A', 'D'})).c_str());
    auto has = [&bird](const std::string& text) {
        return bird.ValidateData(reinterpret_cast<const uint8_t*>(text.data()),
                                 static_cast<uint32_t>(text.size()));
    };
    EXPECT_TRUE(has("HELLO"));
    EXPECT_FALSE(has("LOAD")); // loader blocks are not searched
    EXPECT_FALSE(has("END"));  // the last possible start is not tried
    EXPECT_FALSE(has(std::string(15, 'x')));
}

TEST_F(BirdFileTest, MovedFileKeepsBlocksIntoALiveImage) {
    const Bytes payload = randomBytes(500, 11);
    auto load = [this, &payload]() {
        return BirdFile(writeImage(BirdImage().firmware(0x40, payload)).c_str());
    };
    BirdFile placeholder;
    EXPECT_EQ(placeholder.BlockCount(), 0u);
    placeholder = load();
    BirdFile moved(std::move(placeholder));
    ASSERT_EQ(moved.BlockCount(), 1u);
    EXPECT_EQ(dataOf(moved.Blocks()[0]), addressed(0x40, payload));
    EXPECT_EQ(placeholder.BlockCount(), 0u);
    EXPECT_EQ(placeholder.ImageSize(), 0u);
    EXPECT_EQ(placeholder.Image(), nullptr);
}

TEST_F(BirdFileTest, DumpsBlocksAsHexAndText) {
    Bytes data(51, 'A');
    data[1] = 0x01;
    const std::string path = writeImage(BirdImage().block(3, data).entry(0));
    BirdFile bird(path.c_str());
    testing::internal::CaptureStdout();
    EXPECT_TRUE(bird.DumpBlocks(static_cast<BirdFile::BLOCK_TYPE>(3)));
    const std::string out = testing::internal::GetCapturedStdout();

    std::string expected = "BIRDFILE: BLOCK DUMP [" + path + "]\n \r\n000000: 41 01 ";
    for (int i = 2; i < 50; i++)
        expected += "41 ";
    expected += " A" + std::string(" ") + std::string(48, 'A') + "\r\n000050: 41  A\n\n";
    EXPECT_EQ(out, expected);
}

} // namespace
