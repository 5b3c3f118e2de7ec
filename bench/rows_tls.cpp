// rows_tls.cpp -- TLS against plain, side by side in one run, both with
// --idle wait: introductions at 100 idle clients, a burst of 1,000
// connections (with an ECDSA P-256 certificate, and an RSA-2048 one), idle
// CPU and resident memory with 1,000 idle clients, 10,000 TLS clients held,
// and a 1,000-name list. The CA and the server's certificates are made
// with openssl in a scratch directory for the run and removed after it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "bench/machine.h"
#include "bench/rows.h"
#include "bench/stats.h"
#include "kit/openssl_tools.h"
#include "protocol/message.h"

namespace peerdir {
namespace bench {

namespace {

// Idle clients are measured this long after the last is welcomed: the
// server gives back what the handshakes freed within a second or so.
constexpr unsigned kSettleMillis = 2000;
constexpr std::size_t kIntroSamples = 300;
constexpr std::size_t kListSamples = 200;

// The servers one run compares: plain, and TLS with each certificate.
struct TlsRig {
    std::string dir;  // the CA and the certificates
    ServerCommand plain;
    ServerCommand ecdsa;
    ServerCommand rsa;
};

// A server's command with the certificate name (made in rig.dir) and the
// client settings that trust the run's CA.
ServerCommand tlsCommand(const BenchContext& context, const std::string& dir,
                         const std::string& name) {
    ServerCommand how = withArguments(context.server, {"--tls-cert", dir + "/" + name + ".pem",
                                                       "--tls-key", dir + "/" + name + ".key"});
    how.tls = true;
    how.clientTls.caFile = dir + "/ca.pem";
    return how;
}

bool makeRig(const BenchContext& context, TlsRig* rig, std::string* why) {
    rig->dir = kit::makeScratchDirectory("peerdir-bench-tls");
    if (rig->dir.empty()) {
        *why = "no scratch directory";
        return false;
    }
    // The addresses a server in the benchmark's namespace may announce.
    const std::string names = "IP:127.0.0.1,IP:127.0.1.1,DNS:localhost";
    using kit::KeyKind;
    for (const kit::CertificateRequest& request :
         {kit::CertificateRequest{"ca", "", "", KeyKind::EcdsaP256},
          kit::CertificateRequest{"server-ecdsa", "ca", names, KeyKind::EcdsaP256},
          kit::CertificateRequest{"server-rsa", "ca", names, KeyKind::Rsa2048}}) {
        if (!kit::makeCertificate(rig->dir, request, why)) return false;
    }
    rig->plain = context.server;
    rig->ecdsa = tlsCommand(context, rig->dir, "server-ecdsa");
    rig->rsa = tlsCommand(context, rig->dir, "server-rsa");
    return true;
}

std::string kindText(const ServerCommand& how) { return how.tls ? "TLS" : "plain"; }

// ---- Crowds of TLS clients -----------------------------------------------

// An idle client: its socket, and its TLS state when it has one.
struct Idle {
    Socket socket = kNoSocket;
    TlsClient* tls = nullptr;
};

void closeOne(Idle& c) {
    tlsClientFree(c.tls);
    socketClose(c.socket);
}

void closeIdle(std::vector<Idle>& clients) {
    for (Idle& c : clients) closeOne(c);
    clients.clear();
}

struct Opening {
    Idle client;
    bool secured = false;     // the handshake is complete
    bool wantsWrite = false;  // the handshake waits for room, or for the connect
    std::size_t got = 0;
    std::uint8_t header[kHeaderSize] = {};
};

enum class Progress { Waiting, Welcomed, Failed };

Progress advance(Opening& o) {
    if (!o.secured) {
        TlsOutcome step = tlsClientHandshake(o.client.tls);
        o.wantsWrite = step.step == TlsStep::WantWrite;
        if (step.step == TlsStep::WantRead || o.wantsWrite) return Progress::Waiting;
        if (step.step != TlsStep::Done) return Progress::Failed;
        o.secured = true;
    }
    TlsOutcome read = tlsClientRead(o.client.tls, o.header + o.got, kHeaderSize - o.got);
    if (read.step == TlsStep::WantRead) return Progress::Waiting;
    if (read.step != TlsStep::Done) return Progress::Failed;
    o.got += read.bytes;
    if (o.got < kHeaderSize) return Progress::Waiting;
    return decodeHeader(o.header) == static_cast<std::uint32_t>(MessageType::Welcome)
               ? Progress::Welcomed
               : Progress::Failed;
}

bool startOpening(const ServerUnderTest& server, TlsClientTrust* trust, Opening* o) {
    Socket s = socketCreateTcp();
    if (s == kNoSocket) return false;
    std::string why;
    if (socketSetNonBlocking(s) == 0) {
        // Under way: the handshake waits for it as for room to write.
        socketConnect(s, server.address, hostToNet16(server.port));
        o->client.tls = tlsClientCreate(trust, server.addressText, true, s, &why);
    }
    if (o->client.tls == nullptr) {
        socketClose(s);
        return false;
    }
    o->client.socket = s;
    o->wantsWrite = true;
    return true;
}

// Moves on every connection that is readable, or whose handshake waits to
// write (a connect still under way takes no data yet); one wait covers all.
void advanceAll(std::vector<Opening>& pending, std::vector<Idle>& welcomed, unsigned millis) {
    std::vector<Socket> sockets;
    bool writers = false;
    for (const Opening& o : pending) {
        sockets.push_back(o.client.socket);
        writers = writers || o.wantsWrite;
    }
    std::unique_ptr<bool[]> readable(new bool[pending.size()]());
    socketWaitAnyReadable(sockets.data(), sockets.size(), writers ? 1 : millis, readable.get());
    for (std::size_t i = pending.size(); i-- > 0;) {
        if (!readable[i] && !pending[i].wantsWrite) continue;
        Progress p = advance(pending[i]);
        if (p == Progress::Waiting) continue;
        if (p == Progress::Welcomed) {
            welcomed.push_back(pending[i].client);
        } else {
            closeOne(pending[i].client);
        }
        pending[i] = pending.back();
        pending.pop_back();
    }
}

// count TLS clients, at most inFlight of them connecting at once; those
// welcomed within millis.
std::vector<Idle> openTlsClients(const ServerUnderTest& server, std::size_t count,
                                 std::size_t inFlight, unsigned millis) {
    std::string why;
    TlsClientTrust* trust = tlsClientTrustLoad(server.clientTls, &why);
    std::vector<Idle> welcomed;
    std::vector<Opening> pending;
    const Deadline deadline = deadlineAfter(millis);
    std::size_t started = 0;
    while (trust != nullptr && (started < count || !pending.empty()) && millisUntil(deadline) > 0) {
        while (started < count && pending.size() < inFlight) {
            ++started;
            Opening o;
            if (startOpening(server, trust, &o)) pending.push_back(o);
        }
        advanceAll(pending, welcomed, std::min(100u, millisUntil(deadline)));
    }
    for (Opening& o : pending) closeOne(o.client);
    tlsClientTrustRelease(trust);
    return welcomed;
}

// Idle clients of either kind.
std::vector<Idle> openIdle(const ServerUnderTest& server, std::size_t count, std::size_t inFlight) {
    if (server.tls) return openTlsClients(server, count, inFlight, kConnectMillis);
    std::vector<Idle> idle;
    for (Socket s : openClients(server, count, inFlight, kConnectMillis)) idle.push_back(Idle{s});
    return idle;
}

// ---- The rows ------------------------------------------------------------

double p50Of(const std::vector<Figure>& figures, const std::string& setting) {
    for (const Figure& f : figures) {
        if (f.setting == setting && f.quantity == "p50") return f.value;
    }
    return kMissing;
}

void introductions(const BenchContext& context, const ServerCommand& how,
                   std::vector<Figure>& figures) {
    const std::string area = "TLS: introduction";
    const std::string setting = inMode(context, "100 idle clients, quiet target, " + kindText(how));
    announce(context, area + ", " + setting);
    ServerUnderTest server;
    IntroPair pair;
    std::string why;
    if (!startServer(how, &server, &why)) return addMissing(area, setting, why, figures);
    std::vector<Idle> idle = openIdle(server, 100, kInFlight);
    if (idle.size() == 100 && makeIntroPair(server, &pair, &why)) {
        std::minstd_rand random(100);
        std::size_t failures = 0;
        Spread spread = spreadOf(
            sampleIntroductions(pair, false, kIntroSamples, kReplyMillis, random, &failures));
        Figure p50 = noted(figure(area, setting, "p50", spread.p50, "ms"),
                           std::to_string(spread.count) + " samples");
        if (failures > 0) p50 = noted(p50, std::to_string(failures) + " timed out");
        figures.push_back(p50);
        figures.push_back(figure(area, setting, "p99", spread.p99, "ms"));
    } else {
        addMissing(area, setting, why.empty() ? "not all idle clients were welcomed" : why,
                   figures);
    }
    closeIntroPair(pair);
    stopServer(server);
    closeIdle(idle);
}

void burst(const BenchContext& context, const ServerCommand& how, const std::string& certificate,
           std::vector<Figure>& figures) {
    const std::string area = "TLS: connection burst";
    const std::string setting =
        inMode(context, "1000 connecting at once, " + kindText(how) + certificate);
    announce(context, area + ", " + setting);
    ServerUnderTest server;
    std::string why;
    if (!startServer(how, &server, &why)) return addMissing(area, setting, why, figures);
    const double start = nowMillis();
    const double ownStart = ownCpuSeconds();
    std::vector<Idle> clients = openIdle(server, 1000, 1000);
    const double seconds = (nowMillis() - start) / 1000;
    const double ownCpu = ownCpuSeconds() - ownStart;
    const auto welcomed = static_cast<double>(clients.size());
    stopServer(server);
    closeIdle(clients);
    figures.push_back(
        withGoal(figure(area, setting, "welcomed", welcomed, ""), Goal::AtLeast, 1000));
    Figure after = figure(area, setting, "all welcomed after", seconds, "s");
    // The target is the ECDSA certificate's; RSA's figure is for comparison.
    if (how.tls && certificate == ", ECDSA P-256") after = withGoal(after, Goal::AtMost, 1);
    figures.push_back(after);
    // The clients' side of the handshakes runs on the same cores.
    figures.push_back(figure(area, setting, "the benchmark's own CPU meanwhile", ownCpu, "s"));
}

void idleClients(const BenchContext& context, const ServerCommand& how, std::size_t n,
                 std::vector<Figure>& figures) {
    const std::string area = "TLS: idle clients";
    const std::string setting =
        inMode(context, std::to_string(n) + " idle clients, " + kindText(how));
    announce(context, area + ", " + setting);
    ServerUnderTest server;
    std::string why;
    if (!startServer(how, &server, &why)) return addMissing(area, setting, why, figures);
    kit::MemoryUse before, after;
    bool memoryRead = kit::readMemoryUse(server.process, &before);
    std::vector<Idle> clients = openIdle(server, n, kInFlight);
    double cores = kMissing;
    const std::size_t welcomed = clients.size();
    if (welcomed == n) {
        sleepMillis(kSettleMillis);
        memoryRead = memoryRead && kit::readMemoryUse(server.process, &after);
        cores = waitingCores(server);
    }
    stopServer(server);
    closeIdle(clients);
    const bool tlsGoals = how.tls && n == 1000;
    figures.push_back(withGoal(figure(area, setting, "welcomed", static_cast<double>(welcomed), ""),
                               Goal::AtLeast, static_cast<double>(n)));
    if (welcomed < n) return;
    Figure cpu = noted(figure(area, setting, "server CPU", cores, "cores"), "median of 5 windows");
    figures.push_back(tlsGoals ? withGoal(cpu, Goal::AtMost, 0.02) : cpu);
    if (!memoryRead) return addMissing(area, setting, "memory unreadable", figures);
    Figure resident =
        figure(area, setting, "resident per client",
               (after.residentBytes - before.residentBytes) / static_cast<double>(n) / kKiB, "KiB");
    figures.push_back(tlsGoals ? withGoal(resident, Goal::AtMost, 25) : resident);
}

void list(const BenchContext& context, const ServerCommand& how, std::vector<Figure>& figures) {
    const std::string area = "TLS: 1000-name list";
    const std::string setting = inMode(context, "request to last entry, " + kindText(how));
    announce(context, area + ", " + setting);
    ServerUnderTest server;
    std::string why;
    if (!startServer(how, &server, &why)) return addMissing(area, setting, why, figures);
    std::vector<ClientConnection> registrars;
    ClientConnection lister;
    if (registerNames(server, 1000, &registrars) &&
        (lister = connectTo(server)).error == ClientError::None && awaitNames(lister, 1000)) {
        std::minstd_rand random(7);
        std::vector<double> samples;
        std::vector<std::uint8_t> buffer;
        for (std::size_t i = 0; i < kListSamples; ++i) {
            double took = timeList(lister, 1000, buffer);
            if (std::isnan(took)) break;  // the stream is out of step now
            samples.push_back(took);
            pauseAtRandom(random);
        }
        Spread spread = spreadOf(samples);
        figures.push_back(noted(figure(area, setting, "p50", spread.p50, "ms"),
                                std::to_string(spread.count) + " samples"));
        figures.push_back(figure(area, setting, "p99", spread.p99, "ms"));
    } else {
        addMissing(area, setting, "the names could not be registered", figures);
    }
    stopServer(server);
    for (ClientConnection& c : registrars) closeConnection(c);
    closeConnection(lister);
}

// TLS's p50 against plain's, from the figures just measured.
void compare(const BenchContext& context, const std::string& area, const std::string& stem,
             bool ratio, double goal, std::vector<Figure>& figures) {
    const double plain = p50Of(figures, inMode(context, stem + ", plain"));
    const double tls = p50Of(figures, inMode(context, stem + ", TLS"));
    const std::string setting = inMode(context, stem + ", TLS against plain");
    figures.push_back(withGoal(ratio ? figure(area, setting, "p50 TLS / plain", tls / plain, "x")
                                     : figure(area, setting, "p50 TLS - plain", tls - plain, "ms"),
                               Goal::AtMost, goal));
}

}  // namespace

void measureTls(const BenchContext& context, std::vector<Figure>& figures) {
    TlsRig rig;
    std::string why;
    if (!makeRig(context, &rig, &why)) {
        kit::removeScratchDirectory(rig.dir);
        return addMissing("TLS", inMode(context, "certificates"), why, figures);
    }
    for (const ServerCommand* how : {&rig.plain, &rig.ecdsa}) introductions(context, *how, figures);
    compare(context, "TLS: introduction", "100 idle clients, quiet target", false, 0.05, figures);
    burst(context, rig.plain, "", figures);
    burst(context, rig.ecdsa, ", ECDSA P-256", figures);
    burst(context, rig.rsa, ", RSA-2048", figures);
    for (const ServerCommand* how : {&rig.plain, &rig.ecdsa})
        idleClients(context, *how, 1000, figures);
    idleClients(context, rig.ecdsa, 10000, figures);
    for (const ServerCommand* how : {&rig.plain, &rig.ecdsa}) list(context, *how, figures);
    compare(context, "TLS: 1000-name list", "request to last entry", true, 1.5, figures);
    kit::removeScratchDirectory(rig.dir);
}

}  // namespace bench
}  // namespace peerdir
