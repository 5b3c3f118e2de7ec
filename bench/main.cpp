// main.cpp -- peerdir-bench: measures a peerdir server on loopback and prints
// a table of figures against their targets, also written as CSV.
//
//   peerdir-bench --server PATH [--launcher PROGRAM] [--rows LIST]
//                 [--csv FILE] [--label TEXT]
//
// Every measurement starts a fresh server from PATH (through PROGRAM, such
// as wine, when given). The server must announce a loopback address: run the
// benchmark in a network namespace of its own, as make bench does.
#include <filesystem>
#include <initializer_list>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "bench/machine.h"
#include "bench/report.h"
#include "bench/rows.h"
#include "platform/platform.h"

namespace peerdir {
namespace bench {
namespace {

const char* const kAllRows[] = {"idle",     "memory",   "lifetime",  "introduction", "list",
                                "forwards", "burst",    "nonreader", "names",        "shared",
                                "scale",    "capacity", "metrics",   "tls"};

struct Options {
    std::string server;
    std::string launcher;
    std::set<std::string> rows;
    std::set<std::string> modes = {"poll", "wait"};
    std::string csv;
    std::string label = "native";
};

int usage(const std::string& problem) {
    std::cerr << "peerdir-bench: " << problem << "\n"
              << "usage: peerdir-bench --server PATH [--launcher PROGRAM] [--rows LIST] "
                 "[--modes poll,wait] [--csv FILE] [--label TEXT]\n"
              << "  LIST: comma-separated, of idle,memory,lifetime,introduction,list,forwards,"
                 "burst,nonreader,names,shared,scale,capacity,metrics,tls (default: all)\n";
    return 2;
}

bool parseRows(const std::string& text, std::set<std::string>* rows) {
    std::istringstream list(text);
    std::string row;
    const std::set<std::string> known(std::begin(kAllRows), std::end(kAllRows));
    while (std::getline(list, row, ',')) {
        if (known.count(row) == 0) return false;
        rows->insert(row);
    }
    return !rows->empty();
}

// 0 when the options are good, -1 after --help, else the exit status.
int parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--help") {
            usage("measures a peerdir server on loopback");
            return -1;
        }
        if (i + 1 >= argc) return usage(word + " needs a value");
        std::string value = argv[++i];
        if (word == "--server") {
            options->server = value;
        } else if (word == "--launcher") {
            options->launcher = value;
        } else if (word == "--rows") {
            if (!parseRows(value, &options->rows)) return usage("unknown rows: " + value);
        } else if (word == "--modes") {
            options->modes.clear();
            std::istringstream list(value);
            std::string mode;
            while (std::getline(list, mode, ',')) {
                if (mode != "poll" && mode != "wait") return usage("unknown mode: " + mode);
                options->modes.insert(mode);
            }
            if (options->modes.empty()) return usage("--modes needs poll, wait or both");
        } else if (word == "--csv") {
            options->csv = value;
        } else if (word == "--label") {
            options->label = value;
        } else {
            return usage("unknown option " + word);
        }
    }
    if (options->server.empty()) return usage("--server is required");
    if (options->rows.empty()) options->rows.insert(std::begin(kAllRows), std::end(kAllRows));
    return 0;
}

// Idle CPU at each of idleCounts, memory per idle client at 100, 1,000 and
// 2,000, and memory per connection ever accepted, as the rows ask.
void runIdleRows(const BenchContext& context, const std::set<std::string>& rows,
                 std::initializer_list<std::size_t> idleCounts, std::vector<Figure>& figures) {
    const bool memory = rows.count("memory") > 0;
    if (rows.count("idle") > 0) {
        for (std::size_t n : idleCounts) {
            measureIdleClients(context, n, true, memory && (n == 100 || n == 1000), figures);
        }
    } else if (memory) {
        for (std::size_t n : {100, 1000}) measureIdleClients(context, n, false, true, figures);
    }
    if (memory) measureIdleClients(context, 2000, false, true, figures);
    if (rows.count("lifetime") > 0) measureLifetime(context, 20000, figures);
}

void runRows(const BenchContext& context, const std::set<std::string>& rows,
             std::vector<Figure>& figures) {
    auto wanted = [&rows](const char* row) { return rows.count(row) > 0; };
    runIdleRows(context, rows, {10, 100, 500, 1000}, figures);
    if (wanted("introduction")) {
        for (std::size_t n : {10, 100, 500}) measureIntroductions(context, n, 300, figures);
    }
    if (wanted("list")) measureList(context, 1000, figures);
    if (wanted("forwards")) {
        for (std::size_t n : {1, 50}) measureForwards(context, n, figures);
    }
    if (wanted("burst")) measureBurst(context, 1000, figures);
    if (wanted("nonreader")) {
        measureNonReader(context, 2000, 100, figures);
        measureNonReader(context, 20000, 0, figures);
    }
    if (wanted("names")) measureNameLimitMemory(context, 100, 5000, figures);
    if (wanted("shared")) measureSharedRegistry(context, figures);
    if (wanted("capacity")) measureCapacity(context, figures);
}

// The rows whose figures depend on how idle threads wait, for a server in
// wait mode: the same counts as in poll mode and the ones only a sleeping
// server reaches (10,000 idle clients), side by side with poll mode's.
void runWaitRows(const BenchContext& context, const std::set<std::string>& rows,
                 std::vector<Figure>& figures) {
    auto wanted = [&rows](const char* row) { return rows.count(row) > 0; };
    runIdleRows(context, rows, {100, 1000, 10000}, figures);
    if (wanted("introduction")) {
        for (std::size_t n : {10, 100, 500}) measureIntroductions(context, n, 300, figures);
        // Under Wine every wake goes through the one wineserver; 10,000
        // clients there measure Wine, not the server.
        if (!context.launched) measureIntroductions(context, 10000, 300, figures);
        measureSpacedIntroductions(context, 300, figures);
    }
    // In wait mode, the only one that holds 20,000 clients.
    if (wanted("metrics") && !context.launched) measureMetrics(context, figures);
    if (wanted("burst")) measureBurst(context, 1000, figures);
    if (wanted("scale")) {
        double baseline = kMissing;
        double p50 = kMissing;
        for (std::size_t names : {10000, 200000, 1000000}) {
            measureRegistryScale(context, names, names == 10000 ? kMissing : baseline, &p50,
                                 figures);
            if (names == 10000) baseline = p50;
        }
        measureUnreadLists(context, 200000, 300, figures);
    }
    // TLS against plain, both sleeping; TLS adds nothing to poll mode's
    // question.
    if (wanted("tls") && !context.launched) measureTls(context, figures);
    if (wanted("capacity")) measureCapacity(context, figures);
}

// A polling server with 10,000 idle clients fills every core for minutes
// before it has welcomed them; the row is left out rather than run.
void addPollingGaps(const std::set<std::string>& rows, std::vector<Figure>& figures) {
    const std::string why = "not run: 10,000 polling clients saturate the machine for minutes";
    if (rows.count("idle") > 0) addMissing("idle CPU", "10000 idle clients", why, figures);
    if (rows.count("introduction") > 0) {
        addMissing("introduction", "10000 idle clients, quiet target", why, figures);
    }
}

BenchContext waitingContext(BenchContext context, unsigned long fileLimit) {
    context.waitMode = true;
    // The server's own client limit would end the large rows at 10,000.
    context.server = withArguments(context.server, {"--idle", "wait", "--max-clients", "0"});
    // Each client costs the server a descriptor and this process another;
    // the smaller limit, less room for the rest, is as far as the row goes.
    if (fileLimit > 0) context.capacityCeiling = fileLimit - 200;
    if (!context.launched) context.capacitySeconds = 240;
    return context;
}

std::vector<std::string> headerLines(const Options& options, const BenchContext& context,
                                     const std::string& loadBefore, unsigned long fileLimit) {
    std::string command;
    for (const std::string& word : context.server.command)
        command += (command.empty() ? "" : " ") + word;
    std::vector<std::string> lines = {
        "peerdir benchmark (" + options.label + ")",
        "machine: " + systemDescription() + ", " + std::to_string(context.cores) + " cores",
        "server: " + command,
    };
    // Only before: the benchmark's own thousands of threads raise it for
    // minutes afterwards.
    if (!loadBefore.empty()) lines.push_back("load averages (1, 5, 15 min) before: " + loadBefore);
    if (fileLimit > 0) lines.push_back("open-file limit: " + std::to_string(fileLimit));
    lines.push_back("");
    return lines;
}

int run(const Options& options) {
    NetVersion version{};
    if (netStartup(&version) != 0) {
        std::cerr << "peerdir-bench: the network library did not start\n";
        return 1;
    }
    BenchContext context;
    context.cores = std::max(1u, std::thread::hardware_concurrency());
    context.progress = &std::cerr;
    if (!options.launcher.empty()) context.server.command.push_back(options.launcher);
    context.launched = !options.launcher.empty();
    context.server.command.push_back(std::filesystem::absolute(options.server).string());
    context.server.startMillis = options.launcher.empty() ? 10000 : 60000;
    unsigned long fileLimit = raiseOpenFileLimit();
    // Each client takes a descriptor on both ends; leave room for the rest.
    if (fileLimit > 0) context.capacityCeiling = std::min<std::size_t>(8000, fileLimit - 200);
    std::string loadBefore = loadAverages();

    std::vector<Figure> figures;
    if (options.modes.count("poll") > 0) {
        runRows(context, options.rows, figures);
        if (options.modes.count("wait") > 0 && !context.launched) {
            addPollingGaps(options.rows, figures);
        }
    }
    if (options.modes.count("wait") > 0) {
        runWaitRows(waitingContext(context, fileLimit), options.rows, figures);
    }
    figures = groupedByArea(figures);

    std::cout << "\n";
    printTable(std::cout, headerLines(options, context, loadBefore, fileLimit), figures);
    if (!options.csv.empty()) {
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(options.csv).parent_path(),
                                            error);
        if (!writeCsv(options.csv, figures)) {
            std::cerr << "peerdir-bench: cannot write " << options.csv << "\n";
            return 1;
        }
        std::cout << "\nwritten to " << options.csv << "\n";
    }
    return 0;
}

}  // namespace
}  // namespace bench
}  // namespace peerdir

int main(int argc, char** argv) {
    peerdir::bench::Options options;
    int status = peerdir::bench::parseOptions(argc, argv, &options);
    if (status == -1) return 0;
    return status != 0 ? status : peerdir::bench::run(options);
}
