// config.cpp -- loadConfig.
#include "config/config.h"

#include <fstream>
#include <istream>

#include "platform/console.h"

namespace peerdir {

namespace {

// Stream extraction would wrap "-1" round to 65535; a port written with a
// minus sign is a mistake, not a request for the highest port.
bool readUnsigned16(std::istream& in, std::uint16_t* value) {
    in >> std::ws;
    if (in.peek() == '-') in.setstate(std::ios::failbit);
    std::uint16_t read = 0;
    if (!(in >> read)) return false;
    *value = read;
    return true;
}

void reportBadPort(const std::string& fileName) {
    logText("loadConfig: The port in ");
    logText(fileName.c_str());
    logText(" is missing or is not a number from 0 to 65535; using port 0.");
    logEnd();
}

}  // namespace

ServerConfig loadConfig(const std::string& fileName) {
    ServerConfig config;
    std::ifstream file(fileName);
    // Some systems open a directory as if it were a file; its first read
    // then fails outright. That is a file that cannot be read, like one that
    // cannot be opened.
    if (!file.good() || (file.peek(), file.bad())) {
        config.loaded = false;
        return config;
    }
    config.loaded = true;
    // A failed read leaves the stream failed, so every later read is skipped
    // and its field keeps the value it started with.
    file >> config.reservedText1;
    if (!readUnsigned16(file, &config.port)) {
        config.port = 0;
        reportBadPort(fileName);
    }
    readUnsigned16(file, &config.reservedNumber);
    file >> config.reservedText2 >> config.reservedText3;
    return config;
}

}  // namespace peerdir
