// Reading a user's file: the size cap holds to the byte, only regular files are read, and a line's cells
// keep their empty ones.
#include "kernel/input_file.h"

#include "tests/scratch_directory.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

TEST(InputFile, ReadsUpToItsCapToTheByteAndRefusesOneByteMoreOrAnythingButAFile) {
    const std::filesystem::path directory = make_scratch_directory("pelorin-input");
    constexpr size_t CAP = 100000; // more than one read buffer, so the cap is checked across reads
    const std::filesystem::path file = directory / "list.txt";
    std::ofstream(file, std::ios::binary) << std::string(CAP, 'x');
    std::string text;
    std::string why;
    EXPECT_TRUE(read_input_file(file.string(), CAP, &text, &why)) << why;
    EXPECT_EQ(text.size(), CAP);

    std::ofstream(file, std::ios::binary | std::ios::app) << 'x';
    EXPECT_FALSE(read_input_file(file.string(), CAP, &text, &why));
    EXPECT_EQ(why, "is larger than 100000 bytes, more than such a file ever holds");
    EXPECT_TRUE(text.empty()); // nothing of a refused file is taken

    EXPECT_FALSE(read_input_file(directory.string(), CAP, &text, &why));
    EXPECT_EQ(why, "is a directory, not a file");
    EXPECT_FALSE(read_input_file("/dev/zero", CAP, &text, &why)); // would read without end
    EXPECT_EQ(why, "is not a regular file (a device or a pipe cannot be read as one)");
    std::filesystem::remove_all(directory);
}

TEST(InputFile, CellsKeepEveryEmptyCell) {
    EXPECT_EQ(csv_cells("a,,b,"), (std::vector<std::string>{"a", "", "b", ""}));
    EXPECT_EQ(csv_cells(",x"), (std::vector<std::string>{"", "x"}));
    EXPECT_EQ(csv_cells(""), (std::vector<std::string>{""}));
}

} // namespace
