// message_fuzzer.cpp -- arbitrary client byte streams, cut anywhere, through
// the message reader and handler, the way three clients sharing one registry
// send them over real loopback connections. Every result of a read, every
// registry change and every byte a client receives is checked against a
// small model of the server; any difference aborts the run.
//
// The input is a script of steps. A step is one byte s and its operands;
// client (s >> 2) % 3 acts:
//   s & 3 == 0 or 1: the client writes n bytes taken from the input
//                    (n = next byte % 48 + 1), so messages are cut anywhere;
//   s & 3 == 2:      the server takes one turn on that client's connection:
//                    it reads at most one message and handles it;
//   s & 3 == 3:      the server takes turns until that connection has
//                    nothing whole left to read.
// A turn that finds only part of a message gives up at once (a real server
// waits for the rest a while) and ends the connection, as the server does.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "clients/message_handler.h"
#include "clients/registry.h"
#include "platform/console.h"
#include "platform/testing.h"
#include "protocol/message.h"
#include "protocol/message_reader.h"
#include "support/test_support.h"

namespace peerdir {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kClients = 3;

// What the server is expected to hold and to have sent.
struct ModelEntry {
    std::string name;
    int client;
};

struct Model {
    std::vector<ModelEntry> entries;
    std::deque<std::uint8_t> unread[kClients];  // written by a client, not yet read
    Bytes expected[kClients];                   // what each client should have received
    std::size_t unknownLines = 0;
};

struct Harness {
    testing_support::LoopbackPair pairs[kClients];
    Bytes received[kClients];
    ClientRegistry registry;
    LockHandle lock = nullptr;
    EventHandle globalExit = nullptr;
};

std::size_t g_unknownLines = 0;
std::size_t g_otherLines = 0;

void countLines(const char* data, std::size_t size) {
    std::string line(data, size);
    if (line == "MessageHandler: Got unknown message from recv.\n") {
        ++g_unknownLines;
    } else {
        ++g_otherLines;
    }
}

[[noreturn]] void mismatch(const char* what) {
    std::fprintf(stderr, "message_fuzzer: mismatch: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) mismatch(what);
}

// A client's small writes must not wait for the server to acknowledge the
// previous one, or a turn would find them still on their way.
testing_support::LoopbackPair connectedPair() {
    testing_support::LoopbackPair pair = testing_support::makeLoopbackPair();
    if (pair.server == kNoSocket) mismatch("no loopback connection");
    socketSetNoDelay(pair.client);
    return pair;
}

Harness& harness() {
    static Harness* made = [] {
        auto* h = new Harness;
        NetVersion version{};
        netStartup(&version);
        h->lock = lockCreate();
        h->registry.lock = h->lock;
        h->globalExit = eventCreateManualReset();
        for (auto& pair : h->pairs) pair = connectedPair();
        setLogSink(countLines);
        return h;
    }();
    return *made;
}

ClientManagerContext contextOf(Harness& h, int client) {
    return ClientManagerContext{&h.registry, h.lock, h.globalExit, h.pairs[client].server};
}

// Loopback delivers a write at once as a rule, but under load the kernel may
// finish it a little later; the model counts on every byte being there.
void awaitArrival(Socket s, std::size_t count) {
    for (int waited = 0; waited < 2000; ++waited) {
        int pending = socketBytesPending(s);
        if (pending < 0 || static_cast<std::size_t>(pending) >= count) return;
        sleepMillis(1);
    }
}

// Takes whatever the server has sent to the client so far.
void collect(Harness& h, int client) {
    std::uint8_t chunk[4096];
    for (;;) {
        int n = socketRecv(h.pairs[client].client, chunk, sizeof chunk);
        if (n <= 0) return;
        h.received[client].insert(h.received[client].end(), chunk, chunk + n);
    }
}

void discardUnread(Socket s) {
    std::uint8_t chunk[4096];
    while (socketRecv(s, chunk, sizeof chunk) > 0) {
    }
}

// ---- The model's reading of a stream and its replies ----------------------

std::uint32_t typeAt(const std::deque<std::uint8_t>& bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

bool textOf(const std::uint8_t* field, std::size_t width, std::string* text) {
    const void* nul = std::memchr(field, 0, width);
    if (nul == nullptr) return false;
    text->assign(reinterpret_cast<const char*>(field), static_cast<const char*>(nul));
    return true;
}

void appendHeader(Bytes& out, std::uint32_t type) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(std::uint8_t(type >> shift));
}

void appendField(Bytes& out, const std::string& text, std::size_t width) {
    out.insert(out.end(), text.begin(), text.end());
    out.insert(out.end(), width - text.size(), 0);
}

void modelMessage(Model& model, int client, std::uint32_t type, const Bytes& payload) {
    std::string name;
    if (type == 2 && textOf(payload.data(), 20, &name)) {
        model.entries.push_back(ModelEntry{name, client});
    } else if (type == 4) {
        for (const ModelEntry& entry : model.entries) {
            appendHeader(model.expected[client], 2);
            appendField(model.expected[client], entry.name, 20);
        }
    } else if (type == 5) {
        std::string address;
        if (!textOf(payload.data(), 20, &name) || !textOf(payload.data() + 20, 16, &address)) {
            return;
        }
        for (const ModelEntry& entry : model.entries) {
            if (entry.name != name) continue;
            Bytes& out = model.expected[entry.client];
            appendHeader(out, 1);
            appendField(out, name, 20);
            appendField(out, address, 16);
            out.insert(out.end(), payload.begin() + 36, payload.end());
            return;
        }
        appendHeader(model.expected[client], 3);
    }
}

// Takes all the server has sent to the client and compares it with the model.
void checkReceived(Harness& h, const Model& model, int client, const char* what) {
    const Bytes& expected = model.expected[client];
    if (expected.size() > h.received[client].size()) {
        awaitArrival(h.pairs[client].client, expected.size() - h.received[client].size());
    }
    collect(h, client);
    check(h.received[client] == expected, what);
}

void checkRegistry(const Harness& h, const Model& model) {
    std::vector<std::pair<std::string, Socket>> entries;
    lockEnter(h.lock);
    forEach(h.registry, [&entries](const ClientEntry& entry) {
        entries.emplace_back(std::string(entry.name), entry.socket);
    });
    lockLeave(h.lock);
    check(entries.size() == model.entries.size(), "registry size");
    for (std::size_t i = 0; i < entries.size(); ++i) {
        check(entries[i].first == model.entries[i].name, "registered name");
        check(entries[i].second == h.pairs[model.entries[i].client].server, "registered socket");
    }
}

// ---- Steps ----------------------------------------------------------------

void write(Harness& h, Model& model, int client, const std::uint8_t* data, std::size_t size) {
    testing_support::sendAll(h.pairs[client].client, Bytes(data, data + size));
    model.unread[client].insert(model.unread[client].end(), data, data + size);
}

// The server ends a connection the way its client manager does, and the
// client starts afresh. The same loopback connection serves again once what
// is left of the old stream is drained: closing it and opening another for
// every ended connection would leave hundreds a second in TIME_WAIT, and a
// long run would use up the loopback ports.
void reconnect(Harness& h, Model& model, int client) {
    lockEnter(h.lock);
    removeAll(h.registry, h.pairs[client].server);
    dropOutbox(h.registry, h.pairs[client].server);
    lockLeave(h.lock);
    checkReceived(h, model, client, "bytes received before the end");
    discardUnread(h.pairs[client].server);
    h.received[client].clear();
    model.expected[client].clear();
    model.unread[client].clear();
    std::vector<ModelEntry> kept;
    for (const ModelEntry& entry : model.entries) {
        if (entry.client != client) kept.push_back(entry);
    }
    model.entries = kept;
}

// What the reader must report for the bytes the model holds unread; a whole
// message is taken out of unread.
ReceiveResult expectedRead(Model& model, int client) {
    std::deque<std::uint8_t>& unread = model.unread[client];
    ReceiveResult expected;
    if (unread.empty()) return expected;  // NoData
    if (unread.size() < kHeaderSize) {
        expected.status = ReceiveStatus::ShortHeader;
        return expected;
    }
    std::uint32_t type = typeAt(unread);
    std::size_t size = type > kLastKnownType ? 0 : payloadSizeFor(type);
    if (unread.size() < kHeaderSize + size) {
        expected.status = ReceiveStatus::SocketError;
        expected.value = timedOutErrorCode();
        return expected;
    }
    expected.status = ReceiveStatus::Message;
    expected.value = static_cast<std::int32_t>(type);
    expected.payload.assign(unread.begin() + kHeaderSize, unread.begin() + kHeaderSize + size);
    unread.erase(unread.begin(), unread.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + size));
    if (type > kLastKnownType) ++model.unknownLines;
    return expected;
}

// One turn; false when the connection ended.
bool turn(Harness& h, Model& model, int client) {
    awaitArrival(h.pairs[client].server, model.unread[client].size());
    ReceiveResult expected = expectedRead(model, client);
    ReceiveResult got = receiveMessage(h.pairs[client].server, PayloadWait{nullptr, 0});
    check(got.status == expected.status, "read status");
    if (got.status == ReceiveStatus::NoData) return true;
    check(got.value == expected.value, "read value");
    if (got.status != ReceiveStatus::Message) {
        reconnect(h, model, client);
        return false;
    }
    check(got.payload == expected.payload, "read payload");
    auto type = static_cast<std::uint32_t>(got.value);
    handleMessage(got.payload.empty() ? nullptr : got.payload.data(), contextOf(h, client),
                  static_cast<MessageType>(type));
    modelMessage(model, client, type, expected.payload);
    for (int c = 0; c < kClients; ++c) collect(h, c);
    checkRegistry(h, model);
    return true;
}

bool holdsWholeMessage(const std::deque<std::uint8_t>& unread) {
    if (unread.size() < kHeaderSize) return false;
    std::uint32_t type = typeAt(unread);
    std::size_t size = type > kLastKnownType ? 0 : payloadSizeFor(type);
    return unread.size() >= kHeaderSize + size;
}

// Puts the server and the clients back where an input starts.
void reset(Harness& h, Model& model) {
    for (int c = 0; c < kClients; ++c) {
        checkReceived(h, model, c, "bytes received");
        h.received[c].clear();
        awaitArrival(h.pairs[c].server, model.unread[c].size());
        discardUnread(h.pairs[c].server);
        lockEnter(h.lock);
        removeAll(h.registry, h.pairs[c].server);
        dropOutbox(h.registry, h.pairs[c].server);
        lockLeave(h.lock);
    }
    lockEnter(h.lock);
    bool empty = entryCount(h.registry) == 0 && outboxCount(h.registry) == 0;
    lockLeave(h.lock);
    check(empty, "registry after reset");
    check(g_unknownLines == model.unknownLines, "unknown-message log lines");
    check(g_otherLines == 0, "no other log line");
    g_unknownLines = 0;
}

void run(const std::uint8_t* data, std::size_t size) {
    Harness& h = harness();
    Model model;
    std::size_t at = 0;
    while (at < size) {
        std::uint8_t step = data[at++];
        int client = (step >> 2) % kClients;
        switch (step & 3) {
            case 0:
            case 1: {
                if (at >= size) break;
                std::size_t n = data[at++] % 48 + 1;
                if (n > size - at) n = size - at;
                write(h, model, client, data + at, n);
                at += n;
                break;
            }
            case 2:
                turn(h, model, client);
                break;
            default:
                while (holdsWholeMessage(model.unread[client]) && turn(h, model, client)) {
                }
                break;
        }
    }
    reset(h, model);
}

}  // namespace
}  // namespace peerdir

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    peerdir::run(data, size);
    return 0;
}
