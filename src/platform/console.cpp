// console.cpp -- log pieces to standard output, answers from standard input.
#include "platform/console.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace peerdir {
namespace {

std::atomic<LogSink> g_sink{nullptr};

void writePiece(const char* data, std::size_t size) {
    LogSink sink = g_sink.load();
    if (sink != nullptr) {
        sink(data, size);
        return;
    }
    // One fwrite per piece: stdio locks the stream for the call, so the piece
    // reaches the console whole.
    std::fwrite(data, 1, size, stdout);
}

}  // namespace

void logText(const char* text) { writePiece(text, std::strlen(text)); }

void logSigned(long long value) {
    char digits[32];
    int n = std::snprintf(digits, sizeof digits, "%lld", value);
    writePiece(digits, static_cast<std::size_t>(n));
}

void logUnsigned(unsigned long long value) {
    char digits[32];
    int n = std::snprintf(digits, sizeof digits, "%llu", value);
    writePiece(digits, static_cast<std::size_t>(n));
}

void logEnd() {
    writePiece("\n", 1);
    if (g_sink.load() == nullptr) std::fflush(stdout);
}

void logLine(const char* text) {
    logText(text);
    logEnd();
}

void setLogSink(LogSink sink) { g_sink.store(sink); }

bool readAnswerWord(std::string* word) {
    std::fflush(stdout);
    std::cout.flush();
    if (!(std::cin >> *word)) return false;
    return true;
}

}  // namespace peerdir
