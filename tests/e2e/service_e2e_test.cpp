// peerdir.exe as a Windows service, driven from Linux through Wine's own
// Service Control Manager and sc.exe: installed, started, served, stopped
// and removed, with the log read from its file.
//
// Wine keeps no event log: its ReportEvent is a stub that succeeds and
// keeps nothing, so these tests check the log file and the service's
// status, and what reaches the event log is checked only on a real Windows.
// Nor does Wine restart a service that stopped with a failure status.
//
// Wine's service manager ends once no program but services runs in the
// prefix, and the next Wine program starts a fresh one, which starts every
// automatic service again beside the one still running. A real Windows
// keeps its manager for as long as it runs, so each test keeps one idle
// Wine program (cmd.exe waiting for input) running throughout.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "clientlib/client.h"
#include "kit/process.h"
#include "kit/server.h"

namespace peerdir {
namespace {

using namespace kit;

constexpr unsigned kCommandMillis = 120000;
constexpr unsigned kServiceMillis = 60000;
const char* const kName = "peerdir-e2e";

struct Outcome {
    int status = -1;
    std::string output;
};

std::string launcher() {
    const char* wine = std::getenv("PEERDIR_SERVER_LAUNCHER");
    return wine != nullptr ? wine : "";
}

// Runs a Windows program under Wine in dir and waits for its end.
Outcome runWindows(const std::string& dir, const std::vector<std::string>& args) {
    ChildProcess process;
    std::vector<std::string> command{launcher()};
    command.insert(command.end(), args.begin(), args.end());
    Outcome outcome;
    if (!startProgram(process, dir, command, OutputTo::PipeWithErrors)) return outcome;
    if (!waitForExit(process, kCommandMillis)) stopProgram(process);
    outcome.status = process.exitStatus;
    outcome.output = process.log;
    return outcome;
}

std::string readWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The file's text, CR LF as LF, once it holds needle or millis have passed.
std::string awaitInFile(const std::string& path, const std::string& needle, std::size_t count = 1,
                        unsigned millis = kServiceMillis) {
    const Deadline deadline = deadlineAfter(millis);
    std::string text;
    for (;;) {
        text = readWhole(path);
        for (std::size_t at = text.find("\r\n"); at != std::string::npos;
             at = text.find("\r\n", at))
            text.erase(at, 1);
        std::size_t seen = 0;
        for (std::size_t at = text.find(needle); at != std::string::npos && seen < count;
             at = text.find(needle, at + 1)) {
            ++seen;
        }
        if (seen >= count || millisUntil(deadline) == 0) return text;
        sleepMillis(50);
    }
}

std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t seen = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1)) {
        ++seen;
    }
    return seen;
}

class ServiceE2ETest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (launcher().empty()) GTEST_SKIP() << "services exist only in the Windows build";
        ASSERT_FALSE(dir_.empty());
        const char* server = std::getenv("PEERDIR_SERVER");
        ASSERT_NE(server, nullptr);
        server_ = server;
        ASSERT_TRUE(startProgram(keeper_, dir_, {launcher(), "cmd.exe"}, OutputTo::Pipe));
    }

    void TearDown() override {
        if (!server_.empty()) {
            runWindows(dir_, {server_, "--service-uninstall", "--service-name", kName});
        }
        closeInput(keeper_);
        if (keeper_.pid >= 0 && !waitForExit(keeper_, kCommandMillis)) stopProgram(keeper_);
        removeScratchDirectory(dir_);
    }

    Outcome peerdir(std::vector<std::string> args) {
        args.insert(args.begin(), server_);
        return runWindows(dir_, args);
    }

    Outcome sc(const std::vector<std::string>& args) {
        std::vector<std::string> command{"sc.exe"};
        command.insert(command.end(), args.begin(), args.end());
        return runWindows(dir_, command);
    }

    // sc query's answer once the service has stopped; empty when it has not
    // within kServiceMillis.
    std::string awaitStopped() {
        const Deadline deadline = deadlineAfter(kServiceMillis);
        while (millisUntil(deadline) > 0) {
            Outcome query = sc({"query", kName});
            if (query.output.find("STOPPED") != std::string::npos) return query.output;
            sleepMillis(200);
        }
        return "";
    }

    void installAndStart(const std::vector<std::string>& options) {
        std::vector<std::string> args{"--service-install", "--service-name", kName};
        args.insert(args.end(), options.begin(), options.end());
        Outcome install = peerdir(args);
        ASSERT_EQ(install.status, 0) << install.output;
        EXPECT_EQ(install.output.rfind(std::string("peerdir: Installed the service ") + kName, 0),
                  0u)
            << install.output;
        EXPECT_EQ(countOf(install.output, "\n"), 1u) << install.output;
        Outcome start = sc({"start", kName});
        ASSERT_EQ(start.status, 0) << start.output;
    }

    // The port the service bound, from its log.
    std::uint16_t servicePort(const std::string& log) {
        const std::string label = "createListenSocket: Listening on port ";
        std::string text = awaitInFile(log, label);
        std::size_t at = text.find(label);
        if (at == std::string::npos) return 0;
        return static_cast<std::uint16_t>(std::atoi(text.c_str() + at + label.size()));
    }

    std::string dir_ = makeScratchDirectory("peerdir-service-");
    std::string server_;
    ChildProcess keeper_;
};

TEST_F(ServiceE2ETest, InstalledServiceServesStopsWithStatusZeroAndIsRemoved) {
    // The log's directory has a blank, so the installed command line must
    // quote it; both files are given relative, as an operator would.
    ASSERT_TRUE(writeServerConfig(dir_));
    ASSERT_EQ(std::system(("mkdir -p '" + dir_ + "/service log'").c_str()), 0);
    const std::string log = dir_ + "/service log/peerdir.log";
    installAndStart({"--log", "service log/peerdir.log", "--max-names", "5"});
    std::uint16_t port = servicePort(log);
    ASSERT_NE(port, 0) << readWhole(log);

    ClientConnection client = connectToServer("127.0.0.1", port, 30000);
    ASSERT_NE(client.socket, kNoSocket) << client.message;
    ASSERT_TRUE(registerName(client, "alice")) << client.message;
    std::vector<std::string> names;
    ASSERT_TRUE(listNames(client, 2000, &names)) << client.message;
    EXPECT_EQ(names, std::vector<std::string>{"alice"});
    closeConnection(client);
    awaitInFile(log, "ClientManager: Client disconnected. Thread terminating...\n");

    Outcome stop = sc({"stop", kName});
    EXPECT_EQ(stop.status, 0) << stop.output;
    std::string query = awaitStopped();
    ASSERT_NE(query, "") << readWhole(log);
    EXPECT_NE(query.find("WIN32_EXIT_CODE    : 0 "), std::string::npos) << query;
    EXPECT_NE(query.find("SERVICE_EXIT_CODE  : 0 "), std::string::npos) << query;

    const std::string raw = readWhole(log);
    EXPECT_EQ(countOf(raw, "\n"), countOf(raw, "\r\n")) << "every line ends in CR LF";
    const std::string text = awaitInFile(log, "WSAGetLastError returned: ");
    for (const char* line :
         {"Server IP Address: 127.0.0.1\n", "listenForConnections: Got a connection!\n",
          "ClientManager: Client disconnected. Thread terminating...\n",
          "service: Stop requested by the Service Control Manager.\n"}) {
        EXPECT_EQ(countOf(text, line), 1u) << line << "\n" << text;
    }
    // The shutdown report comes last: one probe line for the one connection.
    std::size_t report = text.find("WSAGetLastError returned: ");
    ASSERT_NE(report, std::string::npos) << text;
    EXPECT_GT(report, text.find("service: Stop requested"));
    EXPECT_EQ(countOf(text.substr(report), "\n"), 1u) << text;

    Outcome uninstall = peerdir({"--service-uninstall", "--service-name", kName});
    EXPECT_EQ(uninstall.status, 0) << uninstall.output;
    EXPECT_EQ(uninstall.output, std::string("peerdir: Removed the service ") + kName + ".\n");
    Outcome gone = sc({"query", kName});
    EXPECT_NE(gone.status, 0) << gone.output;
    EXPECT_EQ(gone.output.find("SERVICE_NAME"), std::string::npos) << gone.output;
    Outcome again = peerdir({"--service-uninstall", "--service-name", kName});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find("no such service"), std::string::npos) << again.output;
}

TEST_F(ServiceE2ETest, UnreadableConfigurationStopsTheServiceWithStatusOneAndSaysWhyInItsLog) {
    // No --log: the log goes beside the configuration, which is missing
    // from its directory.
    ASSERT_EQ(std::system(("mkdir -p '" + dir_ + "/missing'").c_str()), 0);
    installAndStart({"--config", "missing/config.txt"});
    Outcome twice = peerdir({"--service-install", "--service-name", kName});
    EXPECT_EQ(twice.status, 1);
    EXPECT_NE(twice.output.find("exists already"), std::string::npos) << twice.output;
    std::string query = awaitStopped();
    ASSERT_NE(query, "");
    EXPECT_NE(query.find("WIN32_EXIT_CODE    : 1066 "), std::string::npos)
        << "a service-specific exit code\n"
        << query;
    EXPECT_NE(query.find("SERVICE_EXIT_CODE  : 1 "), std::string::npos) << query;
    const std::string text = awaitInFile(dir_ + "/missing/peerdir.log",
                                         "runServer: No answer could be read from standard input.");
    EXPECT_NE(text.find("Could not read config file.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("runServer: No answer could be read from standard input. Exiting.\n"),
              std::string::npos)
        << text;
}

// A service made with plain sc.exe runs as one too; with a bad option it
// stops at once with status 2 rather than leave the manager waiting.
TEST_F(ServiceE2ETest, AServiceMadeWithScCreateAndABadOptionStopsWithStatusTwo) {
    std::string exe = "Z:" + server_;
    for (char& c : exe) c = c == '/' ? '\\' : c;
    Outcome create = sc({"create", kName, "binPath=", exe + " --max-names many"});
    ASSERT_EQ(create.status, 0) << create.output;
    sc({"start", kName});
    std::string query = awaitStopped();
    EXPECT_NE(query.find("WIN32_EXIT_CODE    : 1066 "), std::string::npos) << query;
    EXPECT_NE(query.find("SERVICE_EXIT_CODE  : 2 "), std::string::npos) << query;
    Outcome removed = sc({"delete", kName});
    EXPECT_EQ(removed.status, 0) << removed.output;
}

TEST_F(ServiceE2ETest, AStopWithTwoHundredClientsEndsThemAllAndReportsStopped) {
    ASSERT_TRUE(writeServerConfig(dir_));
    installAndStart({"--log", "peerdir.log"});
    const std::string log = dir_ + "/peerdir.log";
    std::uint16_t port = servicePort(log);
    ASSERT_NE(port, 0) << readWhole(log);
    // What is tested is the stop, not the accepting: a connect that fails on
    // a busy machine (it has happened under load) is made again.
    std::vector<Socket> crowd;
    const Deadline deadline = deadlineAfter(60000);
    for (int round = 0; round < 5 && crowd.size() < 200u && millisUntil(deadline) > 0; ++round) {
        std::vector<Socket> more = openClients(ipv4FromText("127.0.0.1"), port, 200 - crowd.size(),
                                               50, millisUntil(deadline));
        crowd.insert(crowd.end(), more.begin(), more.end());
    }
    EXPECT_EQ(crowd.size(), 200u) << readWhole(log);
    Outcome stop = sc({"stop", kName});
    EXPECT_EQ(stop.status, 0) << stop.output;
    std::string query = awaitStopped();
    EXPECT_NE(query.find("SERVICE_EXIT_CODE  : 0 "), std::string::npos) << query;
    const std::string text = awaitInFile(log, "WSAGetLastError returned: ", crowd.size());
    EXPECT_EQ(countOf(text,
                      "ClientManager: globalExit event was signalled or had an error. "
                      "Quitting...\n"),
              crowd.size());
    EXPECT_EQ(countOf(text, "WSAGetLastError returned: "), crowd.size());
    closeClients(crowd);
}

}  // namespace
}  // namespace peerdir
