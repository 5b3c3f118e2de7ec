// console.cpp -- log pieces to standard output, answers from standard input.
#include "platform/console.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <type_traits>

#include "platform/platform.h"

namespace peerdir {
namespace {

std::atomic<LogSink> g_sink{nullptr};

// The log file, when there is one. Its lock is held for each line's write,
// so no line goes to a file being closed.
std::mutex g_fileLock;
FileHandle g_file = nullptr;

// Enough of the log to say why a start failed: the start-up writes about
// this many lines before its listening socket is up.
constexpr std::size_t kRecentLines = 12;
std::atomic<bool> g_remembering{false};
std::mutex g_recentLock;
std::deque<std::string> g_recent;

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
void writeToOutput(const std::string& text) {
    LogSink sink = g_sink.load();
    if (sink != nullptr) {
        sink(text.data(), text.size());
        return;
    }
    {
        std::lock_guard<std::mutex> hold(g_fileLock);
        // A line the file refuses (a full disk) is lost; there is nowhere
        // better to report it.
        if (g_file != nullptr) {
            fileAppendLine(g_file, text.data(), text.size());
            return;
        }
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void remember(const std::string& text) {
    if (!g_remembering.load()) return;
    std::lock_guard<std::mutex> hold(g_recentLock);
    g_recent.push_back(text);
    if (g_recent.size() > kRecentLines) g_recent.pop_front();
}

void writeLine() {
    const std::string& text = line();
    writeToOutput(text);
    remember(text);
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

bool logToFile(const std::string& path, int* error) {
    FileHandle file = fileOpenAppend(path.c_str(), error);
    if (file == nullptr) return false;
    std::lock_guard<std::mutex> hold(g_fileLock);
    if (g_file != nullptr) fileClose(g_file);
    g_file = file;
    return true;
}

void logToStandardOutput() {
    std::lock_guard<std::mutex> hold(g_fileLock);
    if (g_file != nullptr) fileClose(g_file);
    g_file = nullptr;
}

void rememberRecentLines() { g_remembering.store(true); }

std::string recentLines() {
    std::lock_guard<std::mutex> hold(g_recentLock);
    std::string text;
    for (const std::string& kept : g_recent) text += kept;
    return text;
}

bool readAnswerWord(std::string* word) {
    if (t_line != nullptr && !t_line->empty()) writeLine();
    std::cout.flush();
    if (!(std::cin >> *word)) return false;
    return true;
}

}  // namespace peerdir
