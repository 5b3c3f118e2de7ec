// loadConfig on real files: which token lands in which field, and what a
// missing, short or malformed file leaves behind.
#include "config/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/test_support.h"

namespace peerdir {
namespace {

using testing_support::LogCapture;

// Each test writes its files into a directory named after the test, under the
// working directory, so the build legs and the tests never share a file. The
// directory goes away with the test.
class LoadConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        directory_ = std::string("config_test_") + info->name();
        std::filesystem::remove_all(directory_);
        ASSERT_TRUE(std::filesystem::create_directory(directory_));
    }

    void TearDown() override { std::filesystem::remove_all(directory_); }

    // Writes contents, byte for byte, to a file in the test's directory and
    // returns its name as loadConfig is to be given it.
    std::string writeFile(const std::string& contents) {
        std::string name = directory_ + "/config.txt";
        std::ofstream file(name, std::ios::binary);
        file << contents;
        file.close();
        EXPECT_FALSE(file.fail()) << "could not write " << name;
        return name;
    }

    std::string badPortLine(const std::string& name) const {
        return "loadConfig: The port in " + name +
               " is missing or is not a number from 0 to 65535; using port 0.\n";
    }

    std::string directory_;
};

TEST_F(LoadConfigTest, MissingFileIsNotLoadedAndLeavesEveryFieldEmpty) {
    LogCapture log;
    ServerConfig config = loadConfig(directory_ + "/absent.txt");
    EXPECT_FALSE(config.loaded);
    EXPECT_EQ(config.reservedText1, "");
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.reservedNumber, 0);
    EXPECT_EQ(config.reservedText2, "");
    EXPECT_EQ(config.reservedText3, "");
    EXPECT_EQ(log.text(), "") << "the caller prompts; loadConfig itself says nothing";
}

TEST_F(LoadConfigTest, DirectoryInPlaceOfTheFileIsNotLoaded) {
    LogCapture log;
    std::filesystem::create_directory(directory_ + "/config.txt");
    ServerConfig config = loadConfig(directory_ + "/config.txt");
    EXPECT_FALSE(config.loaded);
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(log.text(), "");
}

// What a file that opens should leave behind.
struct LoadedCase {
    const char* why;
    const char* contents;
    const char* text1;
    std::uint16_t port;
    std::uint16_t number;
    const char* text2;
    const char* text3;
    bool reportsBadPort;
};

const LoadedCase kLoadedCases[] = {
    {"empty file", "", "", 0, 0, "", "", true},
    {"five tokens; the fourth goes to text2, the fifth to text3", "alpha 8080 12 fourth fifth\n",
     "alpha", 8080, 12, "fourth", "fifth", false},
    {"tokens over several lines", "\n  alpha\n\t8080\r\n\n12   fourth\n\tfifth", "alpha", 8080, 12,
     "fourth", "fifth", false},
    {"tokens after the fifth are ignored", "alpha 8080 12 fourth fifth sixth 99 seventh\n", "alpha",
     8080, 12, "fourth", "fifth", false},
    {"the highest numbers", "alpha 65535 65535 fourth fifth\n", "alpha", 65535, 65535, "fourth",
     "fifth", false},
    // Not the 65535 that stream extraction leaves on overflow; the later
    // tokens stay unread.
    {"port above 65535", "alpha 65536 12 fourth fifth\n", "alpha", 0, 0, "", "", true},
    {"negative port, not wrapped to 65535", "alpha -1 12 fourth fifth\n", "alpha", 0, 0, "", "",
     true},
    {"word in place of the port", "alpha http 12 fourth fifth\n", "alpha", 0, 0, "", "", true},
    {"file ending after the first word", "alpha", "alpha", 0, 0, "", "", true},
    {"malformed third token", "alpha 8080 many fourth fifth\n", "alpha", 8080, 0, "", "", false},
    {"negative third token", "alpha 8080 -1 fourth fifth\n", "alpha", 8080, 0, "", "", false},
    {"third token out of range", "alpha 8080 70000 fourth fifth\n", "alpha", 8080, 0, "", "",
     false},
    {"file ending after the port", "alpha 8080\n", "alpha", 8080, 0, "", "", false},
};

TEST_F(LoadConfigTest, FileThatOpensIsLoadedWhateverItsTokensHold) {
    for (const LoadedCase& c : kLoadedCases) {
        SCOPED_TRACE(c.why);
        std::string name = writeFile(c.contents);
        LogCapture log;
        ServerConfig config = loadConfig(name);
        EXPECT_TRUE(config.loaded);
        EXPECT_EQ(config.reservedText1, c.text1);
        EXPECT_EQ(config.port, c.port);
        EXPECT_EQ(config.reservedNumber, c.number);
        EXPECT_EQ(config.reservedText2, c.text2);
        EXPECT_EQ(config.reservedText3, c.text3);
        EXPECT_EQ(log.text(), c.reportsBadPort ? badPortLine(name) : "");
    }
}

}  // namespace
}  // namespace peerdir
