// loadConfig on real files: which token lands in which field, and what a
// missing, short or malformed file leaves behind.
#include "config/config.h"

#include <gtest/gtest.h>

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

TEST_F(LoadConfigTest, EmptyFileIsLoadedWithPortZeroAndOneReport) {
    std::string name = writeFile("");
    LogCapture log;
    ServerConfig config = loadConfig(name);
    EXPECT_TRUE(config.loaded);
    EXPECT_EQ(config.reservedText1, "");
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.reservedNumber, 0);
    EXPECT_EQ(config.reservedText2, "");
    EXPECT_EQ(config.reservedText3, "");
    EXPECT_EQ(log.text(), badPortLine(name));
}

TEST_F(LoadConfigTest, FiveTokensLandInTheirFieldsWithTheFourthInText2AndTheFifthInText3) {
    std::string name = writeFile("alpha 8080 12 fourth fifth\n");
    LogCapture log;
    ServerConfig config = loadConfig(name);
    EXPECT_TRUE(config.loaded);
    EXPECT_EQ(config.reservedText1, "alpha");
    EXPECT_EQ(config.port, 8080);
    EXPECT_EQ(config.reservedNumber, 12);
    EXPECT_EQ(config.reservedText2, "fourth");
    EXPECT_EQ(config.reservedText3, "fifth");
    EXPECT_EQ(log.text(), "");
}

TEST_F(LoadConfigTest, TokensSpreadOverSeveralLinesReadAsOnOneLine) {
    std::string name = writeFile("\n  alpha\n\t8080\r\n\n12   fourth\n\tfifth");
    LogCapture log;
    ServerConfig config = loadConfig(name);
    EXPECT_TRUE(config.loaded);
    EXPECT_EQ(config.reservedText1, "alpha");
    EXPECT_EQ(config.port, 8080);
    EXPECT_EQ(config.reservedNumber, 12);
    EXPECT_EQ(config.reservedText2, "fourth");
    EXPECT_EQ(config.reservedText3, "fifth");
    EXPECT_EQ(log.text(), "");
}

TEST_F(LoadConfigTest, TokensAfterTheFifthAreIgnored) {
    std::string name = writeFile("alpha 8080 12 fourth fifth sixth 99 seventh\n");
    LogCapture log;
    ServerConfig config = loadConfig(name);
    EXPECT_TRUE(config.loaded);
    EXPECT_EQ(config.reservedText1, "alpha");
    EXPECT_EQ(config.port, 8080);
    EXPECT_EQ(config.reservedNumber, 12);
    EXPECT_EQ(config.reservedText2, "fourth");
    EXPECT_EQ(config.reservedText3, "fifth");
    EXPECT_EQ(log.text(), "");
}

TEST_F(LoadConfigTest, HighestPortIsReadAsIs) {
    std::string name = writeFile("alpha 65535 65535 fourth fifth\n");
    LogCapture log;
    ServerConfig config = loadConfig(name);
    EXPECT_EQ(config.port, 65535);
    EXPECT_EQ(config.reservedNumber, 65535);
    EXPECT_EQ(config.reservedText3, "fifth");
    EXPECT_EQ(log.text(), "");
}

TEST_F(LoadConfigTest, PortAbove65535IsAFailedReadThatStopsTheLaterTokens) {
    std::string name = writeFile("alpha 65536 12 fourth fifth\n");
    LogCapture log;
    ServerConfig config = loadConfig(name);
    EXPECT_TRUE(config.loaded);
    EXPECT_EQ(config.reservedText1, "alpha");
    EXPECT_EQ(config.port, 0) << "not the 65535 that stream extraction leaves on overflow";
    EXPECT_EQ(config.reservedNumber, 0);
    EXPECT_EQ(config.reservedText2, "");
    EXPECT_EQ(config.reservedText3, "");
    EXPECT_EQ(log.text(), badPortLine(name));
}

TEST_F(LoadConfigTest, NegativePortIsMalformedRatherThanWrappedTo65535) {
    std::string name = writeFile("alpha -1 12 fourth fifth\n");
    LogCapture log;
    ServerConfig config = loadConfig(name);
    EXPECT_TRUE(config.loaded);
    EXPECT_EQ(config.reservedText1, "alpha");
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.reservedNumber, 0);
    EXPECT_EQ(config.reservedText2, "");
    EXPECT_EQ(config.reservedText3, "");
    EXPECT_EQ(log.text(), badPortLine(name));
}

TEST_F(LoadConfigTest, WordInPlaceOfThePortIsMalformed) {
    std::string name = writeFile("alpha http 12 fourth fifth\n");
    LogCapture log;
    ServerConfig config = loadConfig(name);
    EXPECT_TRUE(config.loaded);
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.reservedNumber, 0);
    EXPECT_EQ(config.reservedText2, "");
    EXPECT_EQ(config.reservedText3, "");
    EXPECT_EQ(log.text(), badPortLine(name));
}

TEST_F(LoadConfigTest, FileEndingAfterTheFirstWordReportsTheMissingPort) {
    std::string name = writeFile("alpha");
    LogCapture log;
    ServerConfig config = loadConfig(name);
    EXPECT_TRUE(config.loaded);
    EXPECT_EQ(config.reservedText1, "alpha");
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(log.text(), badPortLine(name));
}

TEST_F(LoadConfigTest, MalformedThirdTokenLeavesTheNumberZeroUnreportedAndTheLaterWordsUnread) {
    for (const char* third : {"many", "-1", "70000"}) {
        SCOPED_TRACE(third);
        std::string name = writeFile(std::string("alpha 8080 ") + third + " fourth fifth\n");
        LogCapture log;
        ServerConfig config = loadConfig(name);
        EXPECT_TRUE(config.loaded);
        EXPECT_EQ(config.reservedText1, "alpha");
        EXPECT_EQ(config.port, 8080);
        EXPECT_EQ(config.reservedNumber, 0);
        EXPECT_EQ(config.reservedText2, "");
        EXPECT_EQ(config.reservedText3, "");
        EXPECT_EQ(log.text(), "");
    }
}

TEST_F(LoadConfigTest, FileEndingAfterThePortLeavesTheRestEmptyWithoutAReport) {
    std::string name = writeFile("alpha 8080\n");
    LogCapture log;
    ServerConfig config = loadConfig(name);
    EXPECT_TRUE(config.loaded);
    EXPECT_EQ(config.port, 8080);
    EXPECT_EQ(config.reservedNumber, 0);
    EXPECT_EQ(config.reservedText2, "");
    EXPECT_EQ(config.reservedText3, "");
    EXPECT_EQ(log.text(), "");
}

}  // namespace
}  // namespace peerdir
