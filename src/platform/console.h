// console.h -- the log on standard output and the operator's answers on
// standard input.
//
// A log line is put together in pieces (text, number, line end) on the
// calling thread and written in one write at its line end, then flushed, so
// lines from different threads never land inside each other. Pieces without
// a line end (the prompt's colon) go out before the next answer is read.
// Between lines a thread holds nothing of the log, so a thread that ends
// leaves nothing here to release.
#ifndef PEERDIR_PLATFORM_CONSOLE_H
#define PEERDIR_PLATFORM_CONSOLE_H

#include <cstddef>
#include <string>

namespace peerdir {

void logText(const char* text);
void logSigned(long long value);
void logUnsigned(unsigned long long value);
void logEnd();

// logText(text) then logEnd().
void logLine(const char* text);

// Where whole lines go. The default writes to standard output; tests install
// their own to read the lines back. A sink may be called from any thread and
// must be thread-safe. nullptr restores standard output.
using LogSink = void (*)(const char* data, std::size_t size);
void setLogSink(LogSink sink);

// Sends every line from now on to the file at path, appended, instead of
// standard output. False when the file cannot be opened, with the
// platform's error code in *error; the log stays where it was.
bool logToFile(const std::string& path, int* error);

// Closes the log file; later lines go to standard output again. Lines
// written meanwhile by other threads land whole in one or the other.
void logToStandardOutput();

// From now on, keeps the last few lines the log has written, so that a host
// without a console can pass on why the program ended.
void rememberRecentLines();

// The lines kept since rememberRecentLines, oldest first, each with its
// line end; empty when none are kept.
std::string recentLines();

// Writes the calling thread's unfinished line and flushes, then reads one whitespace-delimited word
// from standard input. False when the input has ended or failed.
bool readAnswerWord(std::string* word);

}  // namespace peerdir

#endif
