// config.h -- the server's configuration, read from a text file.
//
// The file holds five whitespace-separated tokens: a word, the listening
// port, a number, and two more words. Only the port plays a part in the
// server; the other four are kept but unused.
#ifndef PEERDIR_CONFIG_CONFIG_H
#define PEERDIR_CONFIG_CONFIG_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace peerdir {

struct ServerConfig {
    std::string reservedText1;         // first token
    std::uint16_t port = 0;            // second token
    std::uint16_t reservedNumber = 0;  // third token
    std::string reservedText3;         // fifth token
    std::string reservedText2;         // fourth token
    bool loaded = false;               // the file could be opened
};

// Only the first kMaxConfigBytes of the file are read.
constexpr std::size_t kMaxConfigBytes = 64 * 1024;

// Reads fileName. loaded is false, and nothing else set, when the file cannot
// be opened or is not a regular file (a directory, a FIFO, a device). Otherwise loaded is true
// whatever the tokens hold: once one token fails to read, the later ones are not read. Numbers are
// read as stream extraction reads an unsigned 16-bit value, except that a leading minus sign makes
// the number malformed. A port that is missing, malformed or out of range is set to 0 and reported
// with one line; the unused number is then 0 as well.
ServerConfig loadConfig(const std::string& fileName);

}  // namespace peerdir

#endif
