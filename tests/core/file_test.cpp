// Files on a real file system in a temporary directory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>

#include "TempDir.h"
#include "aFile.h"

using tftest::TempDir;

namespace {

struct FileCloser {
    void operator()(aFile* f) const { aFile_Close(&f); }
};
using FilePtr = std::unique_ptr<aFile, FileCloser>;

FilePtr open(const std::string& path, int mode) {
    return FilePtr(aFile_Open(path.c_str(), mode));
}

size_t sizeOf(aFile* file) {
    size_t size = 12345;
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    return size;
}

size_t positionOf(aFile* file) {
    size_t position = 12345;
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    return position;
}

} // namespace

TEST(FileOpen, RefusesBadPathsAndModes) {
    TempDir dir;
    std::string path = dir.write("f", "x");
    EXPECT_EQ(aFile_Open(path.c_str(), 3), nullptr);
    EXPECT_EQ(aFile_Open(path.c_str(), 7), nullptr);
    EXPECT_EQ(aFile_Open("", aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open(nullptr, aFileModeReadOnly), nullptr);
    std::string longPath = "/" + std::string(4096, 'a');
    EXPECT_EQ(aFile_Open(longPath.c_str(), aFileModeWriteOnly), nullptr);
    EXPECT_FALSE(aFile_Exists(longPath.c_str()));
    EXPECT_EQ(aFile_Delete(longPath.c_str()), aErrFileNameLength);
    EXPECT_EQ(aFile_Open((dir / "missing").c_str(), aFileModeReadOnly), nullptr);
}

TEST(FileOpen, ModesCreateTruncateOrKeep) {
    TempDir dir;
    {
        FilePtr created = open(dir / "w", aFileModeWriteOnly);
        ASSERT_NE(created, nullptr);
        EXPECT_TRUE(aFile_Exists((dir / "w").c_str()));
    }
    {
        FilePtr appended = open(dir / "a", aFileModeAppend);
        ASSERT_NE(appended, nullptr);
        EXPECT_EQ(positionOf(appended.get()), 0u);
    }
    std::string ten = dir.write("ten", "0123456789");
    {
        FilePtr appended = open(ten, aFileModeAppend);
        EXPECT_EQ(positionOf(appended.get()), 10u);
        EXPECT_EQ(aFile_Write(appended.get(), "abc", 3, nullptr), aErrNone);
        EXPECT_EQ(sizeOf(appended.get()), 13u);
        // Append mode reads too, from wherever it is positioned.
        ASSERT_EQ(aFile_Seek(appended.get(), 0, aSeekStart), aErrNone);
        char first[2] = {};
        EXPECT_EQ(aFile_Read(appended.get(), first, 1, nullptr), aErrNone);
        EXPECT_EQ(first[0], '0');
    }
    EXPECT_EQ(tftest::readFile(ten), "0123456789abc");
    {
        FilePtr truncated = open(ten, aFileModeWriteOnly);
        EXPECT_EQ(sizeOf(truncated.get()), 0u);
    }
}

TEST(FileIO, ModesGuardReadsAndWrites) {
    TempDir dir;
    std::string path = dir.write("f", "data");
    FilePtr reader = open(path, aFileModeReadOnly);
    FilePtr writer = open(dir / "g", aFileModeWriteOnly);
    char buffer[8];
    EXPECT_EQ(aFile_Write(reader.get(), "x", 1, nullptr), aErrMode);
    EXPECT_EQ(aFile_Printf(reader.get(), "%d", 1), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(reader.get()), aErrMode);
    EXPECT_EQ(aFile_Read(writer.get(), buffer, 1, nullptr), aErrMode);
    size_t length;
    EXPECT_EQ(aFile_ReadLine(writer.get(), buffer, sizeof(buffer), &length), aErrMode);
    EXPECT_EQ(aFile_Read(reader.get(), nullptr, 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_Write(writer.get(), nullptr, 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_Read(nullptr, buffer, 1, nullptr), aErrParam);
}

TEST(FileIO, ShortReadsEndOfFileAndZeroCounts) {
    TempDir dir;
    FilePtr file = open(dir.write("f", "0123456789"), aFileModeReadOnly);
    char buffer[16];
    size_t count = 99;
    EXPECT_EQ(aFile_Read(file.get(), buffer, 0, &count), aErrNone);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(aFile_Seek(file.get(), 6, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_Read(file.get(), buffer, 10, &count), aErrNone);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(aFile_Read(file.get(), buffer, 10, &count), aErrEOF);
    EXPECT_EQ(count, 0u);
}

TEST(FileIO, PrintfAndUnbufferedWritesReachTheFileAtOnce) {
    TempDir dir;
    std::string path = dir / "log";
    FilePtr file = open(path, aFileModeAppend);
    ASSERT_EQ(aFile_SetUnbuffered(file.get()), aErrNone);
    size_t written = 0;
    EXPECT_EQ(aFile_Printf(file.get(), "%s=%d\n", "key", 42), aErrNone);
    EXPECT_EQ(aFile_Write(file.get(), "end", 3, &written), aErrNone);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(tftest::readFile(path), "key=42\nend") << "visible without a close or flush";
}

TEST(FileSeek, StaysInsideTheFile) {
    TempDir dir;
    FilePtr file = open(dir.write("f", std::string(100, 'x')), aFileModeReadOnly);
    struct Step {
        long offset;
        int origin;
        aErr result;
        size_t position;
    } steps[] = {
        {100, aSeekStart, aErrNone, 100}, {101, aSeekStart, aErrRange, 100},
        {-1, aSeekStart, aErrRange, 100}, {-10, aSeekEnd, aErrNone, 90},
        {5, aSeekCurrent, aErrNone, 95},  {6, aSeekCurrent, aErrRange, 95},
        {1, aSeekEnd, aErrRange, 95},     {3, 9, aErrNone, 3}, // unknown origin counts as the start
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message() << s.offset << " from " << s.origin);
        EXPECT_EQ(aFile_Seek(file.get(), s.offset, s.origin), s.result);
        EXPECT_EQ(positionOf(file.get()), s.position);
    }
    EXPECT_EQ(sizeOf(file.get()), 100u);
    EXPECT_EQ(positionOf(file.get()), 3u) << "size query keeps the position";
}

TEST(FileReadLine, SplitsLinesLongerThanTheBuffer) {
    TempDir dir;
    FilePtr file = open(dir.write("f", "sixsix\neightchr\nexactly\nlast"), aFileModeReadOnly);
    char buffer[8];
    size_t length = 99;
    struct Step {
        aErr result;
        const char* text;
    } steps[] = {
        {aErrNone, "sixsix\n"}, {aErrOverrun, "eightch"},
        {aErrNone, "r\n"},      {aErrOverrun, "exactly"},
        {aErrNone, "\n"},       {aErrNone, "last"},
        {aErrEOF, ""},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(aFile_ReadLine(file.get(), buffer, sizeof(buffer), &length), s.result) << s.text;
        EXPECT_STREQ(buffer, s.text);
        EXPECT_EQ(length, std::string(s.text).size());
    }
}

TEST(FileReadLine, RefusesBuffersTooSmallForACharacter) {
    TempDir dir;
    FilePtr file = open(dir.write("f", "abc\n"), aFileModeReadOnly);
    char buffer[2] = {'x', 'x'};
    size_t length = 99;
    EXPECT_EQ(aFile_ReadLine(file.get(), buffer, 1, &length), aErrParam);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(aFile_ReadLine(file.get(), buffer, 0, &length), aErrParam);
    EXPECT_EQ(aFile_ReadLine(file.get(), buffer, 2, nullptr), aErrParam);
    EXPECT_EQ(aFile_ReadLine(file.get(), buffer, 2, &length), aErrOverrun);
    EXPECT_STREQ(buffer, "a");
    EXPECT_EQ(length, 1u);
}

TEST(FileClose, ClearsTheHandle) {
    TempDir dir;
    aFile* file = aFile_Open(dir.write("f", "").c_str(), aFileModeReadOnly);
    ASSERT_TRUE(aVALIDFILE(file));
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(aFile_Close(&file), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);
    EXPECT_FALSE(aVALIDFILE(nullptr));
}

TEST(FileExists, RegularFilesAndDevicesButNotDirectories) {
    TempDir dir;
    EXPECT_TRUE(aFile_Exists(dir.write("f", "").c_str()));
    EXPECT_TRUE(aFile_Exists("/dev/null"));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
    EXPECT_FALSE(aFile_Exists((dir / "missing").c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
}

TEST(FileDelete, ReportsWhyItFailed) {
    TempDir dir;
    std::string path = dir.write("f", "");
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
    EXPECT_FALSE(aFile_Exists(path.c_str()));
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
    EXPECT_EQ(aFile_Delete(dir.path().c_str()), aErrIO) << "a directory is not a file";
}

TEST(FileDelete, PermissionDeniedForAnUnprivilegedUser) {
    TF_REQUIRE_ROOT();
    TempDir dir;
    std::string path = dir.write("kept", "x");
    chmod(dir.path().c_str(), 0755); // others may enter but not change the directory
    EXPECT_EQ(tftest::runUnprivileged([&] { return aFile_Delete(path.c_str()); }), aErrPermission);
    EXPECT_EQ(tftest::runUnprivileged([&] {
                  return aFile_Open((dir / "new").c_str(), aFileModeWriteOnly) == nullptr ? 0 : 1;
              }),
              0);
    EXPECT_TRUE(aFile_Exists(path.c_str()));
}
