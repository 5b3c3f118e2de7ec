// metrics_text.cpp -- the exposition text, written from a table of the
// counted families so a new cause or outcome is one more row.
#include "metrics/metrics_text.h"

#include <cinttypes>
#include <cstdio>

namespace peerdir {

namespace {

// One sample of a counted family: its label's value (none for a family
// without labels) and the counter behind it.
struct CountedSample {
    const char* labelValue;
    Counter counter;
};

struct CountedFamily {
    const char* name;
    const char* help;
    const char* labelName;  // nullptr: one sample without labels
    CountedSample samples[5];
    std::size_t sampleCount;
};

const CountedFamily kCountedFamilies[] = {
    {"peerdir_connections_accepted_total",
     "Connections accepted since start, those refused at once included.",
     nullptr,
     {{nullptr, Counter::ConnectionsAccepted}},
     1},
    {"peerdir_connections_refused_total",
     "Connections closed at once after accepting them, by cause.",
     "cause",
     {{"client_limit", Counter::RefusedClientLimit},
      {"address_limit", Counter::RefusedAddressLimit},
      {"thread_start", Counter::RefusedThreadStart}},
     3},
    {"peerdir_requests_total",
     "Requests handled, by kind.",
     "kind",
     {{"registration", Counter::RequestRegistration},
      {"list", Counter::RequestList},
      {"connection", Counter::RequestConnect}},
     3},
    {"peerdir_connection_requests_total",
     "Connection requests by outcome.",
     "outcome",
     {{"forwarded", Counter::ConnectForwarded},
      {"not_found", Counter::ConnectNotFound},
      {"dropped", Counter::ConnectDropped}},
     3},
    {"peerdir_clients_ended_total",
     "Client connections ended, by cause.",
     "cause",
     {{"left", Counter::EndedLeft},
      {"error", Counter::EndedError},
      {"timeout", Counter::EndedTimeout},
      {"stalled", Counter::EndedStalled},
      {"stop", Counter::EndedStop}},
     5},
    {"peerdir_names_ignored_total",
     "Names ignored because their client had reached its name limit.",
     nullptr,
     {{nullptr, Counter::NamesIgnored}},
     1},
    {"peerdir_tls_handshakes_failed_total",
     "TLS handshakes that failed or did not finish in time; such connections are no clients.",
     nullptr,
     {{nullptr, Counter::HandshakesFailed}},
     1},
};

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string& out, const char* name, const std::string& labels, std::uint64_t value) {
    char number[24];
    std::snprintf(number, sizeof(number), "%" PRIu64, value);
    out += name;
    out += labels;
    out += ' ';
    out += number;
    out += '\n';
}

void sampleReal(std::string& out, const char* name, const std::string& labels, double value) {
    char number[40];
    std::snprintf(number, sizeof(number), "%.17g", value);
    out += name;
    out += labels;
    out += ' ';
    out += number;
    out += '\n';
}

std::string label(const char* name, const std::string& value) {
    return std::string("{") + name + "=\"" + value + "\"}";
}

void gauge(std::string& out, const char* name, const char* help, std::uint64_t value) {
    family(out, name, "gauge", help);
    sample(out, name, "", value);
}

void writeCounted(std::string& out, const MetricsSnapshot& snapshot) {
    for (const CountedFamily& counted : kCountedFamilies) {
        family(out, counted.name, "counter", counted.help);
        for (std::size_t i = 0; i < counted.sampleCount; ++i) {
            const CountedSample& one = counted.samples[i];
            std::string labels = counted.labelName ? label(counted.labelName, one.labelValue) : "";
            sample(out, counted.name, labels,
                   snapshot.counters[static_cast<std::size_t>(one.counter)]);
        }
    }
}

// Label values are escaped as the format asks: a backslash, a quote and a
// line end.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

void writeProcess(std::string& out, const ProcessUsage& usage) {
    if (!usage.known) return;
    family(out, "process_cpu_seconds_total", "counter",
           "User and system CPU time spent in seconds.");
    sampleReal(out, "process_cpu_seconds_total", "", usage.cpuSeconds);
    gauge(out, "process_resident_memory_bytes", "Resident memory size in bytes.",
          usage.residentBytes);
    gauge(out, "process_open_fds", "Number of open file descriptors.", usage.openDescriptors);
    gauge(out, "process_max_fds", "Maximum number of open file descriptors.", usage.maxDescriptors);
    family(out, "process_start_time_seconds", "gauge",
           "Start time of the process since unix epoch in seconds.");
    sampleReal(out, "process_start_time_seconds", "", usage.startTimeSeconds);
}

void writeHistogram(std::string& out, const char* name, const char* help,
                    const DurationCounts& counts) {
    family(out, name, "histogram", help);
    const std::string bucket = std::string(name) + "_bucket";
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kDurationBuckets; ++i) {
        cumulative += counts.buckets[i];
        char bound[32];
        std::snprintf(bound, sizeof(bound), "%g", kDurationBounds[i]);
        sample(out, bucket.c_str(), label("le", bound), cumulative);
    }
    sample(out, bucket.c_str(), label("le", "+Inf"), counts.count);
    sampleReal(out, (std::string(name) + "_sum").c_str(), "", counts.sumSeconds);
    sample(out, (std::string(name) + "_count").c_str(), "", counts.count);
}

void writeShared(std::string& out, const SharedSnapshot& shared) {
    if (!shared.present) return;
    gauge(out, "peerdir_etcd_up", "1 while etcd answers, 0 while it is lost.",
          shared.etcdUp ? 1 : 0);
    gauge(out, "peerdir_shared_mirror_names",
          "Registrations of every server in this server's mirror.", shared.mirrorNames);
    family(out, "peerdir_shared_registrations", "gauge",
           "This server's registrations not yet known written to etcd, by state.");
    sample(out, "peerdir_shared_registrations", label("state", "pending"), shared.pending);
    sample(out, "peerdir_shared_registrations", label("state", "unknown"), shared.unknown);
    gauge(out, "peerdir_shared_deletes_waiting", "Keys waiting to be deleted from etcd.",
          shared.deletesWaiting);
    gauge(out, "peerdir_shared_forwards_queued",
          "Forwards to other servers waiting for a forwarder.", shared.forwardsQueued);
    writeHistogram(out, "peerdir_etcd_request_duration_seconds",
                   "Time etcd requests took, failover and retries included.", shared.etcdRequests);
}

}  // namespace

void readCounters(MetricsSnapshot* snapshot) {
    for (std::size_t i = 0; i < kCounterCount; ++i) {
        snapshot->counters[i] = counterTotal(static_cast<Counter>(i));
    }
}

std::string renderMetrics(const MetricsSnapshot& snapshot) {
    std::string out;
    out.reserve(4096);
    family(out, "peerdir_build_info", "gauge", "Always 1; the version in its label.");
    sample(out, "peerdir_build_info", label("version", escaped(snapshot.version)), 1);
    gauge(out, "peerdir_clients", "Clients connected now.", snapshot.clients);
    gauge(out, "peerdir_clients_limit", "Clients served at once at most; 0: no limit.",
          snapshot.maxClients);
    gauge(out, "peerdir_names", "Names this server's clients have registered now.", snapshot.names);
    writeCounted(out, snapshot);
    family(out, "peerdir_messages_dropped_total", "counter",
           "Messages to clients dropped, as the client was not reading or had gone.");
    sample(out, "peerdir_messages_dropped_total", "", snapshot.messagesDropped);
    writeProcess(out, snapshot.process);
    writeShared(out, snapshot.shared);
    return out;
}

}  // namespace peerdir
