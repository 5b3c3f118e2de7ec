// console.cpp -- log pieces to standard output, answers from standard input.
#include "platform/console.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <type_traits>

namespace peerdir {
namespace {

std::atomic<LogSink> g_sink{nullptr};

// The calling thread's line so far, from its first piece to its end; a
// thread holds none between lines. The thread-local is a plain pointer, not
// the string itself, so that no destructor of ours runs as a thread ends:
// mingw-w64 releases a thread's thread-local storage before it runs their
// destructors, and a string's destructor then freed whatever pointer the
// released block held by then, which under a stream of short-lived client
// threads was now and then the registry's lock.
thread_local std::string* t_line = nullptr;
static_assert(std::is_trivially_destructible<decltype(t_line)>::value,
              "a thread's end must find nothing here to destroy");

std::string& line() {
    if (t_line == nullptr) t_line = new std::string;
    return *t_line;
}

// One fwrite per line: stdio locks the stream for the call, so the line
// reaches the console whole.
void writeLine() {
    const std::string& text = line();
    LogSink sink = g_sink.load();
    if (sink != nullptr) {
        sink(text.data(), text.size());
    } else {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    delete t_line;
    t_line = nullptr;
}

}  // namespace

void logText(const char* text) { line().append(text); }

void logSigned(long long value) {
    char digits[32];
    int n = std::snprintf(digits, sizeof digits, "%lld", value);
    line().append(digits, static_cast<std::size_t>(n));
}

void logUnsigned(unsigned long long value) {
    char digits[32];
    int n = std::snprintf(digits, sizeof digits, "%llu", value);
    line().append(digits, static_cast<std::size_t>(n));
}

void logEnd() {
    line().push_back('\n');
    writeLine();
}

void logLine(const char* text) {
    logText(text);
    logEnd();
}

void setLogSink(LogSink sink) { g_sink.store(sink); }

bool readAnswerWord(std::string* word) {
    if (t_line != nullptr && !t_line->empty()) writeLine();
    std::cout.flush();
    if (!(std::cin >> *word)) return false;
    return true;
}

}  // namespace peerdir
