// console.cpp -- log pieces to standard output, answers from standard input.
#include "platform/console.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace peerdir {
namespace {

std::atomic<LogSink> g_sink{nullptr};

// The calling thread's line so far.
thread_local std::string t_line;

// One fwrite per line: stdio locks the stream for the call, so the line
// reaches the console whole.
void writeLine() {
    LogSink sink = g_sink.load();
    if (sink != nullptr) {
        sink(t_line.data(), t_line.size());
    } else {
        std::fwrite(t_line.data(), 1, t_line.size(), stdout);
        std::fflush(stdout);
    }
    t_line.clear();
}

}  // namespace

void logText(const char* text) { t_line.append(text); }

void logSigned(long long value) {
    char digits[32];
    int n = std::snprintf(digits, sizeof digits, "%lld", value);
    t_line.append(digits, static_cast<std::size_t>(n));
}

void logUnsigned(unsigned long long value) {
    char digits[32];
    int n = std::snprintf(digits, sizeof digits, "%llu", value);
    t_line.append(digits, static_cast<std::size_t>(n));
}

void logEnd() {
    t_line.push_back('\n');
    writeLine();
}

void logLine(const char* text) {
    logText(text);
    logEnd();
}

void setLogSink(LogSink sink) { g_sink.store(sink); }

bool readAnswerWord(std::string* word) {
    if (!t_line.empty()) writeLine();
    std::cout.flush();
    if (!(std::cin >> *word)) return false;
    return true;
}

}  // namespace peerdir
